#include "core/child_process.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <string>

#include "scratch_dir.h"

namespace {

using ChildProcess = ScratchDir;
using std::chrono::milliseconds;

ChildOutcome shell(const std::string& script, milliseconds limit, int* waits = nullptr) {
    ChildLimits limits;
    limits.timeout = limit;
    limits.wait = [waits](int fd, int timeoutMs) {
        if (waits != nullptr) ++*waits;
        waitForFdOnly(fd, timeoutMs);
    };
    return runChild({"/bin/sh", "-c", script}, limits);
}

// Alive and not a zombie (an orphan here may never be reaped).
bool running(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidText, comm, state;
    return static_cast<bool>(stat >> pidText >> comm >> state) && state != "Z";
}

TEST_F(ChildProcess, StatusAsTheShellWouldReportIt) {
    int waits = 0;
    // Long enough that the caller has to wait for it, however fast the machine.
    const ChildOutcome exited = shell("sleep 0.3; exit 3", std::chrono::seconds(10), &waits);
    EXPECT_EQ(exited.status, 3 << 8);
    EXPECT_FALSE(exited.timedOut);
    EXPECT_GT(waits, 0) << "the caller's wait was not used";
    EXPECT_EQ(runChild({path("missing")}, ChildLimits()).status, 127 << 8);
}

TEST_F(ChildProcess, TimeLimitKillsTheWholeProcessGroup) {
    const auto start = std::chrono::steady_clock::now();
    const ChildOutcome stalled =
        shell("sleep 30 & echo $! >" + path("pid") + "; sleep 30", milliseconds(300));
    EXPECT_TRUE(stalled.timedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    const pid_t background = std::stoi(contents("pid"));
    for (int i = 0; i < 100 && running(background); ++i) ::usleep(10000);
    EXPECT_FALSE(running(background));
}

}  // namespace
