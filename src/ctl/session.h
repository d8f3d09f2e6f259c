// SPDX-License-Identifier: Apache-2.0
// One command of quillferry-ctl: the call made, sent on the line, its reply awaited until
// the deadline and printed; or, with --inventory, the same on every board (fleet.h).
#pragma once

#include <cstdio>
#include <string>

#include "ctl/options.h"
#include "quillferry/request.h"

namespace ctl {

// The call of `options`' subcommand, with `net` for set-net and `ipv6` for clear. False with
// a one-line `error` when set-net's values would be refused. Throws std::exception when no
// uuid can be made.
bool makeCall(const Options& options, const qfclient::NetSettings& net, bool ipv6,
              qfclient::Call& call, std::string& error);

// Runs the command `options` describes. Replies go to `out`; complaints, notes on discarded
// lines and the --echo line go to `err`. Returns the exit status.
int runCommand(const Options& options, std::FILE* out, std::FILE* err);

}  // namespace ctl
