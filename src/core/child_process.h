// Running a board program (ifdown, ifup) the safe way: directly, without a shell, in a process
// group of its own, with a time limit, and without making the daemon deaf while it runs.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "core/constants.h"

// Waits until `fd` is readable or `timeoutMs` have passed, doing meanwhile whatever must not
// stop (the command loop answers the liveness probe).
using WaitForFd = std::function<void(int fd, int timeoutMs)>;

// A plain wait, for callers that have nothing else to do.
void waitForFdOnly(int fd, int timeoutMs);

// How long a child may run, and how its caller waits meanwhile.
struct ChildLimits {
    std::chrono::milliseconds timeout{std::chrono::seconds(qf::kDefaultIfupTimeoutSec)};
    WaitForFd wait = waitForFdOnly;
};

struct ChildOutcome {
    // As waitpid reports it (0: ran and exited with 0), the way system() reports a command;
    // a program that cannot be started gives 127 << 8, as the shell would.
    int status = 0;
    // The time limit passed: the program and everything in its process group were killed.
    bool timedOut = false;
};

// Runs argv[0] with the arguments that follow and the daemon's environment; the signal mask
// and SIGPIPE are reset to their defaults for it. Waits through `limits.wait` until it ends,
// but no longer than `limits.timeout`.
ChildOutcome runChild(const std::vector<std::string>& argv, const ChildLimits& limits);
