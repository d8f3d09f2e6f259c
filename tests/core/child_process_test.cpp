// SPDX-License-Identifier: Apache-2.0
#include "core/child_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "scratch_dir.h"

namespace {

using ChildProcess = ScratchDir;

// A wait that fails (SIGCHLD ignored: the kernel reaps the child) is never a success.
TEST_F(ChildProcess, StatusAsTheShellWouldReportItAndALostWaitIsNoSuccess) {
    const std::chrono::seconds limit(10);
    const ChildOutcome exited = runChild({"/bin/sh", "-c", "sleep 0.3; exit 3"}, limit);
    EXPECT_EQ(exited.status, 3 << 8);
    EXPECT_FALSE(exited.timedOut || exited.lost);
    EXPECT_EQ(runChild({path("missing")}, limit).status, 127 << 8);
    // Past its time limit the command is killed, and so is what it started.
    const std::string late = "(sleep 0.5; : >" + path("late") + ") & sleep 30";
    EXPECT_TRUE(runChild({"/bin/sh", "-c", late}, std::chrono::milliseconds(200)).timedOut);
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_FALSE(std::filesystem::exists(path("late")));

    struct sigaction ignore {};
    struct sigaction old {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGCHLD, &ignore, &old), 0);
    const ChildOutcome lost = runChild({"/bin/sh", "-c", "exit 0"}, limit);
    ::sigaction(SIGCHLD, &old, nullptr);
    EXPECT_TRUE(lost.lost);
    EXPECT_FALSE(lost.succeeded());
}

// Past its time limit, only what the command started dies: a helper that an earlier command
// left running, adopted only while the later one runs (its own parent ends then), lives on.
TEST_F(ChildProcess, TimeOutSparesWhatAnEarlierCommandLeft) {
    // As the daemon does; qemu-user (the board's build on another machine) refuses.
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1UL, 0UL, 0UL, 0UL) != 0)
        GTEST_SKIP() << "cannot adopt orphaned processes here";
    const std::string helper = path("helper");
    const ChildOutcome earlier =
        runChild({"/bin/sh", "-c", "(sleep 60 & echo $! >" + helper + "; sleep 1) & exit 0"},
                 std::chrono::seconds(10));
    EXPECT_TRUE(earlier.succeeded());
    for (int i = 0; i < 200 && contents("helper").empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const pid_t pid = static_cast<pid_t>(std::stol("0" + contents("helper")));
    ASSERT_GT(pid, 0);
    const ChildOutcome later = runChild({"/bin/sh", "-c", "sleep 30"}, std::chrono::seconds(2));
    EXPECT_TRUE(later.timedOut);
    EXPECT_EQ(::kill(pid, 0), 0) << "the earlier command's helper was killed";
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    reapAdopted();
    ::prctl(PR_SET_CHILD_SUBREAPER, 0UL, 0UL, 0UL, 0UL);
}

}  // namespace
