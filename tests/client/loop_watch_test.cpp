// SPDX-License-Identifier: Apache-2.0
// A loop's owner waits for its own descriptors and deadline in the lines' loop: idle, the
// loop sleeps until one of them; with calls under way, both are served in the same rounds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <optional>

#include "core/fd_io.h"
#include "fake_console.h"
#include "golden.h"
#include "quillferry/line.h"

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// Watches the reading end of a pipe until a deadline, and counts what it saw.
class PipeWatcher : public qfclient::Loop::Watcher {
public:
    PipeWatcher() {
        int fds[2] = {-1, -1};
        EXPECT_EQ(::pipe(fds), 0);
        read_.reset(fds[0]);
        write_.reset(fds[1]);
    }
    long long prepare(std::vector<pollfd>& fds) override {
        fds.push_back({read_.get(), POLLIN, 0});
        return deadline;
    }
    void ready(const std::vector<pollfd>& fds) override {
        ++rounds;
        if (fds.size() == 1 && (fds[0].revents & POLLIN) != 0) {
            char c = 0;
            if (::read(read_.get(), &c, 1) == 1) ++bytes;
        }
    }
    void poke() const { ASSERT_EQ(::write(write_.get(), "x", 1), 1); }

    long long deadline = -1;
    int rounds = 0;
    int bytes = 0;

private:
    UniqueFd read_;
    UniqueFd write_;
};

// Idle, the loop sleeps until its owner's deadline, or (without one) until its owner's
// descriptor wakes it; with a call under way, the board's reply reaches its call and the
// owner's bytes the owner, in the same rounds.
TEST(ClientLoopWatch, AnIdleLoopSleepsUntilItsOwnerIsDueAndServesItBesideCalls) {
    qfclient::Loop loop;
    PipeWatcher watcher;
    loop.watch(&watcher);
    watcher.deadline = monotonicMs() + 150;
    auto start = Clock::now();
    EXPECT_TRUE(loop.serve());
    EXPECT_GE(Clock::now() - start, milliseconds(140));
    EXPECT_EQ(watcher.rounds, 1);
    EXPECT_EQ(watcher.bytes, 0);

    watcher.deadline = -1;
    watcher.poke();
    start = Clock::now();
    EXPECT_TRUE(loop.serve());
    EXPECT_LT(Clock::now() - start, milliseconds(100));
    EXPECT_EQ(watcher.bytes, 1);

    FakeConsole board(FakeConsole::answering("", std::string(golden::kAck)));
    qfclient::LineAddress address;
    std::string error;
    ASSERT_TRUE(qfclient::parseAddress(board.address(), address, error)) << error;
    qfclient::Line line(loop, address);
    std::optional<qfclient::Result> result;
    line.start(qfclient::probeCall(), 2000, [&](const qfclient::Result& r) { result = r; });
    watcher.poke();
    for (int i = 0; i < 50 && !result; ++i) ASSERT_TRUE(loop.serve());
    ASSERT_TRUE(result);
    EXPECT_EQ(result->outcome, qfclient::Outcome::Ok) << result->detail;
    EXPECT_EQ(watcher.bytes, 2);
    line.close();

    loop.watch(nullptr);
    EXPECT_FALSE(loop.serve());  // nothing left to wait for
}

}  // namespace
