// SPDX-License-Identifier: Apache-2.0
#include "client/serial_link.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "core/fd_io.h"
#include "quillferry/reply.h"

namespace qfclient {

Deadline::Deadline(int timeoutMs) : endMs_(monotonicMs() + timeoutMs) {}

int Deadline::leftMs() const {
    return static_cast<int>(
        std::clamp(endMs_ - monotonicMs(), 0LL, static_cast<long long>(INT_MAX)));
}

SerialLink::Status SerialLink::openDevice(const std::string& path, UniqueFd& opened,
                                          std::string& error) {
    // Non-blocking: opening must not wait for a carrier, and no read or write may wait
    // past the caller's deadline (another reader of the line may take the bytes that
    // poll() announced).
    // The path as text fit for a message: an inventory may hold anything.
    const std::string shown = escapeBytes(path);
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        error = "cannot open " + shown + ": " + std::strerror(errno);
        return Status::Error;
    }
    // Replies name no client, so two clients on one line would take each other's. The
    // lock is advisory and on the device itself rather than the terminal's exclusive mode
    // (TIOCEXCL), which root ignores and which a killed client would leave set for as long
    // as anyone else holds the device open; the lock ends with the process. It keeps out
    // only programs that take it too (other clients): nothing else, the daemon included,
    // is refused the device. It is taken before the line is touched, so a client that
    // finds it busy leaves the holder's settings and unread replies alone.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            error = "line busy: another client is using " + shown + "; try again later";
            return Status::Busy;
        }
        error = "cannot lock " + shown + ": " + std::strerror(errno);
        return Status::Error;
    }
    struct termios tio {};
    if (::tcgetattr(fd.get(), &tio) != 0) {
        error = shown + " is not a serial device: " + std::strerror(errno);
        return Status::Error;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    if (::tcsetattr(fd.get(), TCSANOW, &tio) != 0) {
        error = "cannot configure " + shown + ": " + std::strerror(errno);
        return Status::Error;
    }
    ::tcflush(fd.get(), TCIFLUSH);
    opened = std::move(fd);
    return Status::Ok;
}

SerialLink::Status SerialLink::await(short events, const Deadline& deadline) const {
    for (;;) {
        const int left = deadline.leftMs();
        if (left == 0) return Status::Timeout;
        struct pollfd pfd = {fd_.get(), events, 0};
        const int ready = ::poll(&pfd, 1, left);
        if (ready < 0 && errno != EINTR) return Status::Error;
        if (ready > 0) return Status::Ok;
    }
}

SerialLink::Status SerialLink::send(std::string_view bytes, int timeoutMs) {
    if (writeAll(fd_.get(), bytes, timeoutMs)) return Status::Ok;
    return errno == ETIMEDOUT ? Status::Timeout : Status::Error;
}

SerialLink::Status SerialLink::fill(const Deadline& deadline) {
    for (;;) {
        const Status s = await(POLLIN, deadline);
        if (s != Status::Ok) return s;
        char buf[4096];
        const ssize_t n = ::read(fd_.get(), buf, sizeof(buf));
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            // A pty master reads EIO while no process holds the other end; keep waiting.
            if (errno == EIO) {
                ::usleep(10000);
                continue;
            }
            return Status::Error;
        }
        if (n == 0) return Status::Error;
        pending_.append(buf, static_cast<std::size_t>(n));
        return Status::Ok;
    }
}

SerialLink::Status SerialLink::readLine(std::string& line, int timeoutMs) {
    const Deadline deadline(timeoutMs);
    for (;;) {
        const auto nl = pending_.find('\n');
        if (nl != std::string::npos) {
            line = pending_.substr(0, nl + 1);
            pending_.erase(0, nl + 1);
            return Status::Ok;
        }
        const Status s = fill(deadline);
        if (s != Status::Ok) {
            line = pending_;
            return s;
        }
    }
}

SerialLink::Status SerialLink::readExact(std::size_t count, std::string& out, int timeoutMs) {
    const Deadline deadline(timeoutMs);
    while (pending_.size() < count) {
        const Status s = fill(deadline);
        if (s != Status::Ok) {
            out = pending_;
            return s;
        }
    }
    out = pending_.substr(0, count);
    pending_.erase(0, count);
    return Status::Ok;
}

SerialLink::Status SerialLink::readSome(std::string& out, int timeoutMs) {
    const Status s = pending_.empty() ? fill(Deadline(timeoutMs)) : Status::Ok;
    out += pending_;
    pending_.clear();
    return s;
}

void SerialLink::drain(int quietMs) {
    while (fill(Deadline(quietMs)) == Status::Ok) {
    }
    pending_.clear();
}

}  // namespace qfclient
