// SPDX-License-Identifier: Apache-2.0
#include "core/aside.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <system_error>
#include <utility>

Aside::Aside(std::function<void()> work)
    : work_(std::move(work)), done_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (done_.valid()) {
        try {
            worker_ = std::thread([this] {
                try {
                    work_();
                } catch (...) {
                    thrown_ = std::current_exception();
                }
                const std::uint64_t one = 1;
                // Cannot fail on an eventfd that is read by done(); the join waits anyway.
                (void)!::write(done_.get(), &one, sizeof(one));
            });
            return;
        } catch (const std::system_error&) {
        }
    }
    ended_ = true;
    try {
        work_();
    } catch (...) {
        thrown_ = std::current_exception();
    }
}

Aside::~Aside() {
    if (worker_.joinable()) worker_.join();
}

bool Aside::done() {
    std::uint64_t ended = 0;
    if (!ended_ &&
        ::read(done_.get(), &ended, sizeof(ended)) == static_cast<ssize_t>(sizeof(ended)))
        ended_ = true;
    return ended_;
}

void Aside::finish() {
    if (worker_.joinable()) worker_.join();
    ended_ = true;
    if (thrown_) std::rethrow_exception(std::exchange(thrown_, nullptr));
}
