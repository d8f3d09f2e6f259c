// SPDX-License-Identifier: Apache-2.0
// quillferry-ctl's exit statuses, and the one each outcome of a call gives.
#pragma once

#include "quillferry/line.h"

namespace ctl {

// Exit statuses; the help text documents them, scripts rely on them. A call's outcome maps
// onto them through exitStatus().
enum ExitStatus : int {
    kExitOk = 0,
    // The board answered, but with a failure (non-zero ret_val), with a line that is not a
    // JSON object, or with something other than the probe's acknowledgement.
    kExitFailed = 1,
    // No complete reply within the timeout, or the line went away.
    kExitNoReply = 2,
    kExitUsage = 64,
    // The line cannot be opened or configured; not a usage error, and worth telling apart
    // from a board that does not answer.
    kExitUnavailable = 69,
    // The output could not be written (standard output closed or full, --output not
    // replaced), whatever the boards answered: not a board's fault (EX_IOERR).
    kExitOutput = 74,
    // Another client holds the line; trying again later may work (EX_TEMPFAIL).
    kExitBusy = 75,
    // set-net --check: some board does not run what its inventory entry asks for.
    kExitDrift = 3,
};

// The exit status for a call's outcome: 0, 1 (failed, malformed), 2 (timeout, dropped), 75
// (busy), 69 (unavailable).
int exitStatus(qfclient::Outcome outcome);

}  // namespace ctl
