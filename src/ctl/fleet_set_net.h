// SPDX-License-Identifier: Apache-2.0
// set-net on a fleet, in two steps on each board's line: the board is asked what it runs
// ("get_net_conf" with "in_force"), which is compared with its inventory entry (drift.h);
// only a board that differs, or cannot tell, gets the apply. With --check nothing that changes
// a board is sent; with --force every board gets the apply, unasked, as one call.
#pragma once

#include <memory>
#include <vector>

#include "ctl/fleet.h"

namespace ctl {

// The steps of set-net for `boards`, whose `calls` are their applies: those are replaced by
// the first call of each board (unchanged with --force). Throws std::exception when no uuid
// can be made.
std::unique_ptr<FleetSteps> setNetSteps(const Options& options,
                                        const std::vector<const InventoryBoard*>& boards,
                                        std::vector<qfclient::Call>& calls);

}  // namespace ctl
