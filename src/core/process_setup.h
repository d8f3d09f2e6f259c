// SPDX-License-Identifier: Apache-2.0
// What the daemon sets up about its own process before anything else, because its parent may
// have left it otherwise: standard descriptors that are closed, signals that are ignored or
// blocked (both survive exec).
#pragma once

#include <signal.h>

#include <string>

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed, so that no device or
// file the daemon opens later takes their numbers (the log and the children's output would
// go there).
void openStandardDescriptors();

// Every signal back to its default action, SIGPIPE ignored (a closed log pipe must not end
// the daemon), and the signals of stopSignals() and SIGCHLD blocked for the command loop's
// signal descriptor, in every thread started afterwards. False with `error` when the mask
// cannot be set.
bool resetSignals(std::string& error);

// SIGTERM and SIGINT: stop at the next safe point. With SIGCHLD, the signals the command loop
// reads from its descriptor.
sigset_t loopSignals();

// Orphaned descendants of the daemon's children (a helper that an ifup hook started with
// setsid) become the daemon's children, so that they can be found and killed with the command
// that started them. False with `error` when the kernel refuses.
bool becomeSubreaper(std::string& error);
