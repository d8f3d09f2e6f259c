// SPDX-License-Identifier: Apache-2.0
#include "core/fd_io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

long long monotonicMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool writeAll(int fd, std::string_view bytes, int timeoutMs, std::size_t* sent) {
    const long long deadline = monotonicMs() + timeoutMs;
    std::size_t ignored = 0;
    std::size_t& done = sent != nullptr ? *sent : ignored;
    done = 0;
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n >= 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return false;
        const long long left = timeoutMs < 0 ? -1 : deadline - monotonicMs();
        if (timeoutMs >= 0 && left <= 0) {
            errno = ETIMEDOUT;
            return false;
        }
        struct pollfd pfd = {fd, POLLOUT, 0};
        if (::poll(&pfd, 1, static_cast<int>(left)) < 0 && errno != EINTR) return false;
    }
    return true;
}

UniqueFd openRegularFile(const char* path) {
    UniqueFd fd(::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (fd.valid() && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))) {
        fd.reset();
        errno = EINVAL;
    }
    return fd;
}

bool readUpTo(int fd, std::size_t cap, std::string& out) {
    char chunk[4096];
    while (out.size() < cap) {
        const ssize_t n = ::read(fd, chunk, std::min(sizeof(chunk), cap - out.size()));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        out.append(chunk, static_cast<std::size_t>(n));
    }
    return true;
}
