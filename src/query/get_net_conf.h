// SPDX-License-Identifier: Apache-2.0
// "get_net_conf": the address settings last requested (from the command record), the name
// servers and container list last applied, and eth0's MAC address; with "in_force": true also
// what is in force and what eth0 carries now. Answered at once.
#pragma once

#include <json/json.h>

#include "core/board_context.h"
#include "core/handler.h"

Handled handleGetNetConf(BoardContext& board, const Json::Value& request);
