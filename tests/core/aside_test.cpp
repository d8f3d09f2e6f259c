// SPDX-License-Identifier: Apache-2.0
#include "core/aside.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <stdexcept>
#include <thread>

namespace {

// Work aside runs on a thread of its own, its descriptor tells when it is done, and what it
// throws comes back to the one who finishes it.
TEST(Aside, WorkRunsOnItsOwnThreadAndThrowsToTheCaller) {
    std::thread::id worker;
    Aside aside([&worker] { worker = std::this_thread::get_id(); });
    struct pollfd pfd = {aside.doneFd(), POLLIN, 0};
    ASSERT_EQ(::poll(&pfd, 1, 5000), 1);
    EXPECT_TRUE(aside.done());
    aside.finish();
    EXPECT_NE(worker, std::this_thread::get_id());
    Aside throwing([] { throw std::out_of_range("Write buffer exhausted"); });
    EXPECT_THROW(throwing.finish(), std::out_of_range);
}

}  // namespace
