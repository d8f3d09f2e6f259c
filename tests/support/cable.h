// SPDX-License-Identifier: Apache-2.0
// The cable between a simulated board and its controller, for tests that drive the board with
// the built quillferry-ctl or a console server.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "board.h"
#include "raw_pty.h"

namespace qftest {

// Joins the board's end of its line to a pty of the controller's, whose slave a client
// (or ser2net) opens as the board's serial device.
class Cable {
public:
    explicit Cable(SimulatedBoard& board) : board_(board.link().fd()), pty_(openRawPty()) {
        thread_ = std::thread([this] {
            pollfd fds[2] = {{board_, POLLIN, 0}, {pty_.master.get(), POLLIN, 0}};
            char buf[4096];
            while (!stop_) {
                if (::poll(fds, 2, 50) <= 0) continue;
                for (int i = 0; i < 2; ++i) {
                    if ((fds[i].revents & POLLIN) == 0) continue;
                    const ssize_t n = ::read(fds[i].fd, buf, sizeof(buf));
                    if (n > 0 && ::write(fds[1 - i].fd, buf, static_cast<std::size_t>(n)) != n)
                        return;
                }
            }
        });
    }
    ~Cable() {
        stop_ = true;
        thread_.join();
    }
    Cable(const Cable&) = delete;
    Cable& operator=(const Cable&) = delete;
    const std::string& device() const { return pty_.slavePath; }

private:
    int board_;
    RawPty pty_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace qftest
