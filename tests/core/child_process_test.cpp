// SPDX-License-Identifier: Apache-2.0
#include "core/child_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "scratch_dir.h"

namespace {

using ChildProcess = ScratchDir;

// The time limit and the killing of the whole process group are checked on the board, where
// a stalled ifup leaves a background child.
TEST_F(ChildProcess, StatusAsTheShellWouldReportIt) {
    const std::chrono::seconds limit(10);
    const ChildOutcome exited = runChild({"/bin/sh", "-c", "sleep 0.3; exit 3"}, limit);
    EXPECT_EQ(exited.status, 3 << 8);
    EXPECT_FALSE(exited.timedOut || exited.lost);
    EXPECT_EQ(runChild({path("missing")}, limit).status, 127 << 8);
}

}  // namespace
