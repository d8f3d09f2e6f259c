// SPDX-License-Identifier: Apache-2.0
#include "core/aside.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <exception>
#include <system_error>
#include <thread>

#include "core/unique_fd.h"

void waitForFdOnly(int fd, int timeoutMs) {
    struct pollfd pfd = {fd, POLLIN, 0};
    ::poll(&pfd, 1, timeoutMs);
}

void runAside(const std::function<void()>& work, const WaitForFd& wait) {
    const UniqueFd done(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    std::exception_ptr thrown;
    std::thread worker;
    if (done.valid()) {
        try {
            worker = std::thread([&work, &thrown, fd = done.get()] {
                try {
                    work();
                } catch (...) {
                    thrown = std::current_exception();
                }
                const std::uint64_t one = 1;
                // Cannot fail on an eventfd that is read below; the join would wait anyway.
                (void)!::write(fd, &one, sizeof(one));
            });
        } catch (const std::system_error&) {
        }
    }
    if (!worker.joinable()) {
        work();
        return;
    }
    for (std::uint64_t ended = 0;
         ::read(done.get(), &ended, sizeof(ended)) != static_cast<ssize_t>(sizeof(ended));)
        wait(done.get(), -1);
    worker.join();
    if (thrown) std::rethrow_exception(thrown);
}
