// The controller's end of the serial line: sends request lines and collects reply bytes
// with a time limit. Used by quillferry-ctl on a real device and by the system tests on a
// pty master.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/unique_fd.h"

class SerialLink {
public:
    enum class Status { Ok, Timeout, Error };

    // Opens a serial device and puts it into raw 115200 8N1 mode, as the board's end is.
    // On failure returns an invalid link and sets `error`.
    static SerialLink openDevice(const std::string& path, std::string& error);

    // Takes over an already open descriptor (a pty master in tests).
    explicit SerialLink(UniqueFd fd) : fd_(std::move(fd)) {}
    SerialLink() = default;

    bool valid() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }

    // Writes all bytes; false on an error.
    bool send(std::string_view bytes);

    // Reads up to and including the next newline. Bytes that arrive after it are kept for
    // the next read. On a timeout `line` holds what arrived so far.
    Status readLine(std::string& line, int timeoutMs);

    // Reads exactly `count` bytes (the probe's acknowledgement carries a zero byte, so it is
    // not a line).
    Status readExact(std::size_t count, std::string& out, int timeoutMs);

    // Drops everything that arrives until the line has been quiet for `quietMs`.
    void drain(int quietMs);

private:
    // Waits until the deadline for more bytes and appends them to pending_.
    Status fill(long long deadlineMs);

    UniqueFd fd_;
    std::string pending_;
};
