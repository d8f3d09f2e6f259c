// SPDX-License-Identifier: Apache-2.0
#include "ctl/exit_status.h"

namespace ctl {

int exitStatus(qfclient::Outcome outcome) {
    using qfclient::Outcome;
    switch (outcome) {
        case Outcome::Ok:
            return kExitOk;
        case Outcome::Failed:
        case Outcome::Malformed:
            return kExitFailed;
        case Outcome::Timeout:
        case Outcome::Dropped:
            break;
        case Outcome::Busy:
            return kExitBusy;
        case Outcome::Unavailable:
            return kExitUnavailable;
    }
    return kExitNoReply;
}

}  // namespace ctl
