// SPDX-License-Identifier: Apache-2.0
// "get_hardware_conf": CPU and GPU model, memory and storage size. Answered at once.
#pragma once

#include <json/json.h>

#include "core/board_context.h"
#include "core/handler.h"

Handled handleGetHwConf(BoardContext& board, const Json::Value& request);
