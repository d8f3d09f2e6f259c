// SPDX-License-Identifier: Apache-2.0
// The steps of a "set_net_conf" that changes the board, on a request already judged complete
// and fit: an apply, a clear, a new placement, each recorded in the state file (in_force).
// Each returns the request's Status.
#pragma once

#include "core/board_context.h"
#include "core/status.h"

struct InForce;
struct NetConfRequest;

// A whole configuration: host files, eth0's restart, container files.
Status applyNetConf(BoardContext& board, const NetConfRequest& conf);
// The same, recorded in the state file as in force once it fully succeeded.
Status applyInForce(BoardContext& board, const NetConfRequest& conf);
// A clear, recorded likewise.
Status clearInForce(BoardContext& board);
// Same addresses as the configuration in force: only the host information and container
// files, and only where they differ.
Status refreshPlacement(BoardContext& board, const NetConfRequest& conf);
// The state file says "unknown" while the board's files change (keeping the container list
// when `containersChange` is false). A failure (logged) means nothing may change.
Status markChanging(BoardContext& board, const InForce& before, bool containersChange);
// Records `now` as in force.
Status recordInForce(BoardContext& board, const InForce& now);
