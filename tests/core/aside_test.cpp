// SPDX-License-Identifier: Apache-2.0
#include "core/aside.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace {

// Work aside runs on a thread of its own while the caller's wait is used, and what it throws
// comes back to the caller.
TEST(Aside, WorkRunsBesideTheWaitAndThrowsToTheCaller) {
    int waits = 0;
    const WaitForFd counting = [&waits](int fd, int timeoutMs) {
        ++waits;
        waitForFdOnly(fd, timeoutMs);
    };
    std::thread::id worker;
    runAside(
        [&worker] {
            worker = std::this_thread::get_id();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        },
        counting);
    EXPECT_NE(worker, std::this_thread::get_id());
    EXPECT_GT(waits, 0);
    EXPECT_THROW(runAside([] { throw std::out_of_range("Write buffer exhausted"); }, counting),
                 std::out_of_range);
}

}  // namespace
