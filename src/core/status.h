// SPDX-License-Identifier: Apache-2.0
// How a step of a request reports: a Status is the "ret_val" the reply would carry, 0 when
// the step was carried out. The reason of a failure is logged where it is met, never carried
// up; a caller that cannot go on returns the Status it got. One idiom for the request path,
// so that a failure can only travel as a value that the reply shows.
#pragma once

#include "core/constants.h"

class [[nodiscard]] Status {
public:
    // Done.
    constexpr Status() = default;
    // A "ret_val": 0 is done, anything else a failure (a qf::kRet* value or a command's
    // status).
    constexpr explicit Status(int retVal) : retVal_(retVal) {}
    // A file step: done, or kRetWriteFailed when the files could not all be written.
    static constexpr Status written(bool ok) { return Status(ok ? 0 : qf::kRetWriteFailed); }

    constexpr bool ok() const { return retVal_ == 0; }
    constexpr int retVal() const { return retVal_; }

private:
    int retVal_ = 0;
};
