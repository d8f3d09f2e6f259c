// SPDX-License-Identifier: Apache-2.0
// What a "set_net_conf" reply tells beyond success or failure: that the configuration before
// was put back (-5) or could not be (-6), how the gateway check went, or that none ran
// although one was asked for (a board of an earlier version ignores "verify_gateway").
#pragma once

#include <json/json.h>

#include <string>

#include "quillferry/request.h"

namespace ctl {

// One line without newline, empty when there is nothing to add. `call` is the request that
// `reply` answers; anything but a "set_net_conf" has nothing to add.
std::string applyNote(const qfclient::Call& call, const Json::Value& reply);

}  // namespace ctl
