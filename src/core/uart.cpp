// SPDX-License-Identifier: Apache-2.0
#include "core/uart.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/constants.h"
#include "core/fd_io.h"
#include "core/log.h"

Uart::Uart(const char* path) : path_(path), framer_(qf::kReadBufferSize - 1) {
    open();
}

Uart::Uart(UniqueFd input, UniqueFd output)
    : portFd(std::move(input)), outputFd_(std::move(output)), framer_(qf::kReadBufferSize - 1) {}

void Uart::open() {
    framer_.reset();
    lineOpen_ = false;
    portFd.reset(::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!portFd.valid()) {
        report(State::Missing, std::strerror(errno));
        return;
    }
    // A device that keeps failing is only said to work again once it delivers.
    if (state_ != State::Failing) report(State::Open, "");

    struct termios tio {};
    if (::tcgetattr(portFd.get(), &tio) != 0) tio = termios{};
    tio.c_cflag = B115200 | CS8 | CREAD | CLOCAL;
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_iflag = IGNPAR;
    tio.c_lflag = 0;
    tio.c_cc[VTIME] = 0;
    tio.c_cc[VMIN] = 1;
    // A device that is not a terminal (a pipe in a test rig) still serves lines.
    ::tcsetattr(portFd.get(), TCSANOW, &tio);
    ::tcflush(portFd.get(), TCIFLUSH);
}

bool Uart::Reopen() {
    portFd.reset();
    open();
    return IsOpen();
}

Uart::Fill Uart::fill() {
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(portFd.get(), chunk, sizeof(chunk));
        if (n > 0) {
            framer_.feed(chunk, static_cast<std::size_t>(n));
            if (state_ == State::Failing) report(State::Open, "");
            return Fill::Data;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return Fill::NoData;
        report(State::Failing, n == 0 ? "end of input (hung up)" : std::strerror(errno));
        return Fill::End;
    }
}

int Uart::Read(char* buf, int size) {
    if (!portFd.valid()) return -1;
    std::string line;
    while (!framer_.next(line)) {
        struct pollfd pfd = {portFd.get(), POLLIN, 0};
        if (::poll(&pfd, 1, -1) < 0 && errno != EINTR) return 0;
        if (fill() == Fill::End) return 0;
    }
    const std::size_t n = std::min(line.size(), static_cast<std::size_t>(size - 1));
    std::memcpy(buf, line.data(), n);
    buf[n] = '\0';
    return size;
}

int Uart::Write(const char* data, int len) {
    if (!portFd.valid()) return -1;
    const int fd = outputFd_.valid() ? outputFd_.get() : portFd.get();
    std::string_view bytes(data, static_cast<std::size_t>(len));
    // A reply given up half-way is ended before the next one, which so starts a line of its
    // own: the controller loses the torn line only, not both.
    std::string ended;
    if (lineOpen_) {
        ended.reserve(bytes.size() + 1);
        ended.append(1, '\n').append(bytes);
        bytes = ended;
    }
    std::size_t sent = 0;
    const bool written = writeAll(fd, bytes, qf::kWriteTimeoutMs, &sent);
    const int error = errno;
    if (written || sent > 0) lineOpen_ = !written && bytes[sent - 1] != '\n';
    // Said once when writing starts to fail, not for every reply that follows.
    if (!written && !writeFailing_)
        logOutput("uart write failed: %s: %s", path_.c_str(), std::strerror(error));
    writeFailing_ = !written;
    return written ? len : -1;
}

void Uart::report(State state, const std::string& why) {
    if (path_.empty() || (state == state_ && why == why_)) return;
    state_ = state;
    why_ = why;
    switch (state) {
        case State::Open:
            logOutput("open %s!", path_.c_str());
            break;
        case State::Missing:
            logOutput("Uart Init failed: %s: %s", path_.c_str(), why.c_str());
            break;
        case State::Failing:
            logOutput("[QuillFerry] reading %s failed: %s; opening it again", path_.c_str(),
                      why.c_str());
            break;
        case State::Unknown:
            break;
    }
}
