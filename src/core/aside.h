// SPDX-License-Identifier: Apache-2.0
// Work run beside the serial line: a thread of its own whose end a descriptor tells, so that
// the command loop, which alone waits, keeps answering the probe meanwhile.
#pragma once

#include <exception>
#include <functional>
#include <thread>

#include "core/unique_fd.h"

class Aside {
public:
    // Starts `work` on a thread of its own; when no thread can be started, runs it here.
    explicit Aside(std::function<void()> work);
    // Waits for the work (finish() is the way to end it).
    ~Aside();
    Aside(const Aside&) = delete;
    Aside& operator=(const Aside&) = delete;

    // Readable once the work is done: the descriptor to wait for.
    int doneFd() const { return done_.get(); }
    // True once the work is done.
    bool done();
    // Waits for the thread's end; what the work threw is thrown here.
    void finish();

private:
    std::function<void()> work_;
    UniqueFd done_;
    bool ended_ = false;
    std::exception_ptr thrown_;
    std::thread worker_;
};
