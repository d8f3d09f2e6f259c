// SPDX-License-Identifier: Apache-2.0
// Work that must not make the daemon deaf: waiting for a descriptor, or running a piece of a
// handler on a thread of its own, while the caller's wait keeps the serial line served (the
// command loop answers the probe meanwhile).
#pragma once

#include <functional>

// Waits until `fd` is readable or `timeoutMs` have passed (negative: no limit), doing
// meanwhile whatever must not stop.
using WaitForFd = std::function<void(int fd, int timeoutMs)>;

// A plain wait, for callers that have nothing else to do.
void waitForFdOnly(int fd, int timeoutMs);

// Runs `work` on a thread of its own and returns once it is done, waiting through `wait`
// meanwhile; what `work` throws is thrown here. `work` must not touch the serial line. When no
// thread can be started, runs `work` here.
void runAside(const std::function<void()>& work, const WaitForFd& wait);
