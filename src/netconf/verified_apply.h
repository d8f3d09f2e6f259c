// SPDX-License-Identifier: Apache-2.0
// "set_net_conf" with "verify_gateway": an apply after which the gateway must answer on
// eth0's link, or else the configuration in force before is put back.
#pragma once

#include "core/board_context.h"
#include "core/status.h"

struct NetConfRequest;

// What became of a "set_net_conf": its Status and, for one that asked for its gateway to be
// checked, how that went ("gateway_check" of the reply; null: not asked for).
struct SetOutcome {
    Status status;
    const char* gatewayCheck = nullptr;
};

// An apply of `conf` (complete and fit) whose gateway must answer, `before` being the
// network state until then: the previous configuration put back when it fails.
SetOutcome applyVerified(BoardContext& board, const NetConfRequest& conf,
                         const NetworkState& before);
