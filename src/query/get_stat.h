// SPDX-License-Identifier: Apache-2.0
// "get_stat": the hottest thermal zone, whether the three CPU clusters run at their top
// frequencies, and whether the network was configured since start-up. Answered at once.
#pragma once

#include <json/json.h>

#include "core/board_context.h"
#include "core/handler.h"

Handled handleGetStat(BoardContext& board, const Json::Value& request);
