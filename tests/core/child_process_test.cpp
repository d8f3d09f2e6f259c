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
    int waits = 0;
    ChildLimits limits;
    limits.timeout = std::chrono::seconds(10);
    limits.wait = [&waits](int fd, int timeoutMs) {
        ++waits;
        waitForFdOnly(fd, timeoutMs);
    };
    // Long enough that the caller has to wait for it, however fast the machine.
    const ChildOutcome exited = runChild({"/bin/sh", "-c", "sleep 0.3; exit 3"}, limits);
    EXPECT_EQ(exited.status, 3 << 8);
    EXPECT_FALSE(exited.timedOut);
    EXPECT_GT(waits, 0) << "the caller's wait was not used";
    EXPECT_EQ(runChild({path("missing")}, ChildLimits()).status, 127 << 8);
}

}  // namespace
