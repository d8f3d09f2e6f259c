// SPDX-License-Identifier: Apache-2.0
// The controller's end of a local serial line: sends request lines and collects reply
// bytes with a time limit, blocking. The client library opens devices with it; the system
// tests and the benchmark drive a pty master with it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/unique_fd.h"

namespace qfclient {

// A time limit shared by several waits, on the monotonic clock.
class Deadline {
public:
    explicit Deadline(int timeoutMs);
    // Milliseconds left, 0 once the limit has passed.
    int leftMs() const;

private:
    long long endMs_;
};

class SerialLink {
public:
    // Busy: another client holds the line (openDevice only).
    enum class Status { Ok, Timeout, Error, Busy };

    // Opens a serial device without waiting for anything, takes it for this process alone
    // and puts it into raw 115200 8N1 mode, as the board's end is. On failure `fd` stays
    // invalid and `error` says why.
    static Status openDevice(const std::string& path, UniqueFd& fd, std::string& error);

    // Takes over an already open descriptor (a pty master in tests).
    explicit SerialLink(UniqueFd fd) : fd_(std::move(fd)) {}
    SerialLink() = default;

    bool valid() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }

    // Writes all bytes, waiting at most `timeoutMs` for the line to take them.
    Status send(std::string_view bytes, int timeoutMs = 5000);

    // Reads up to and including the next newline. Bytes that arrive after it are kept for
    // the next read. On a timeout `line` holds what arrived so far.
    Status readLine(std::string& line, int timeoutMs);

    // Reads exactly `count` bytes (the probe's acknowledgement carries a zero byte, so it is
    // not a line).
    Status readExact(std::size_t count, std::string& out, int timeoutMs);

    // Appends to `out` whatever is there: the bytes kept from earlier reads or, when there
    // are none, what arrives first within `timeoutMs`.
    Status readSome(std::string& out, int timeoutMs);

    // Drops everything that arrives until the line has been quiet for `quietMs`.
    void drain(int quietMs);

private:
    // Waits until the deadline for more bytes and appends them to pending_.
    Status fill(const Deadline& deadline);
    // Waits until the descriptor is ready for `events` (POLLIN, POLLOUT).
    Status await(short events, const Deadline& deadline) const;

    UniqueFd fd_;
    std::string pending_;
};

}  // namespace qfclient
