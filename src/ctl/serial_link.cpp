#include "ctl/serial_link.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

long long nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

SerialLink SerialLink::openDevice(const std::string& path, std::string& error) {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid()) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return SerialLink();
    }
    struct termios tio {};
    if (::tcgetattr(fd.get(), &tio) != 0) {
        error = path + " is not a serial device: " + std::strerror(errno);
        return SerialLink();
    }
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    if (::tcsetattr(fd.get(), TCSANOW, &tio) != 0) {
        error = "cannot configure " + path + ": " + std::strerror(errno);
        return SerialLink();
    }
    ::tcflush(fd.get(), TCIFLUSH);
    return SerialLink(std::move(fd));
}

bool SerialLink::send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd_.get(), bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

SerialLink::Status SerialLink::fill(long long deadlineMs) {
    for (;;) {
        const long long left = deadlineMs - nowMs();
        if (left <= 0) return Status::Timeout;
        struct pollfd pfd = {fd_.get(), POLLIN, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0) {
            if (errno == EINTR) continue;
            return Status::Error;
        }
        if (ready == 0) return Status::Timeout;
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
    const long long deadline = nowMs() + timeoutMs;
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
    const long long deadline = nowMs() + timeoutMs;
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

void SerialLink::drain(int quietMs) {
    while (fill(nowMs() + quietMs) == Status::Ok) {
    }
    pending_.clear();
}
