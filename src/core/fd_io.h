// SPDX-License-Identifier: Apache-2.0
// Whole reads and writes on a descriptor, with interruptions and short transfers handled.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/unique_fd.h"

// Writes every byte. On a non-blocking descriptor that is full, waits for room, but no longer
// than `timeoutMs` in all (negative: as long as it takes). False on an error or the timeout
// (errno ETIMEDOUT); some bytes may have gone out then, as many as `sent` says when given.
bool writeAll(int fd, std::string_view bytes, int timeoutMs = -1, std::size_t* sent = nullptr);

// Appends what the descriptor gives until its end or until `out` holds `cap` bytes.
bool readUpTo(int fd, std::size_t cap, std::string& out);

// Opens a system file for reading, without blocking and only when it is a regular file (a
// FIFO or device there is refused, never waited on). Invalid on failure, errno set.
UniqueFd openRegularFile(const char* path);

// Milliseconds of the monotonic clock, for deadlines.
long long monotonicMs();
