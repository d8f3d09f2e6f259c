// SPDX-License-Identifier: Apache-2.0
// "set_net_conf": give eth0 a static IPv4 or IPv6 configuration (or clear it), place the
// board and write its containers' files. Every request is recorded first, then read and
// judged whole; what is unfit changes nothing but the record. All of it runs beside the line.
#pragma once

#include <json/json.h>

#include "core/board_context.h"
#include "core/handler.h"

Handled handleSetNetConf(BoardContext& board, const Json::Value& request);
