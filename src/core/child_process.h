// SPDX-License-Identifier: Apache-2.0
// Running a board program (ifdown, ifup) the safe way: directly, without a shell, in a process
// group of its own, with a time limit after which it dies with everything it started.
#pragma once

#include <sys/wait.h>

#include <chrono>
#include <string>
#include <vector>

struct ChildOutcome {
    // As waitpid reports it (0: ran and exited with 0), the way system() reports a command;
    // a program that cannot be started gives 127 << 8, as the shell would.
    int status = 0;
    // The time limit passed: the program and every process it started were killed, those
    // that left its process group (setsid) included.
    bool timedOut = false;
    // How it ended is unknown: the wait for it failed (logged). Never a success.
    bool lost = false;

    bool succeeded() const { return status == 0 && !timedOut && !lost; }
    // Ended by a signal: stopped half-way, whatever it had done.
    bool killed() const { return WIFSIGNALED(status); }
};

// Runs argv[0] with the arguments that follow and the daemon's environment; the signal mask
// and SIGPIPE are reset to their defaults for it. Waits until it ends, but no longer than
// `timeout`; the caller runs it aside (core/aside.h) to keep the line served meanwhile.
ChildOutcome runChild(const std::vector<std::string>& argv, std::chrono::milliseconds timeout);

// Reaps, without waiting, every child that has ended: descendants of earlier commands that
// the daemon adopted (it is their subreaper). Only while no command runs, so that no
// command's own status is taken from it.
void reapAdopted();
