// SPDX-License-Identifier: Apache-2.0
// The daemon's log in unit tests: lines reach standard error through the log's writer thread,
// so a capture starts and ends with what was handed to it written out.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "core/log.h"

inline void captureLog() {
    flushLog(5000);
    testing::internal::CaptureStderr();
}

inline std::string capturedLog() {
    flushLog(5000);
    return testing::internal::GetCapturedStderr();
}
