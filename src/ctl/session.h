// One command of quillferry-ctl: the line taken, the request sent, its reply awaited until
// the deadline and printed.
#pragma once

#include <cstdio>

#include "ctl/options.h"

namespace ctl {

// Runs the command `options` describes. The reply goes to `out`; complaints, notes on
// discarded lines and the --echo line go to `err`. Returns the exit status.
int runCommand(const Options& options, std::FILE* out, std::FILE* err);

}  // namespace ctl
