// SPDX-License-Identifier: Apache-2.0
// A console server's TCP connection, made without blocking: each address of its name in
// turn, within the line's deadline. Every address gets an equal share of the time left, so
// that one that never answers (its packets dropped) leaves time for the next.
#pragma once

#include <string>
#include <vector>

#include "client/resolver.h"
#include "core/unique_fd.h"

namespace qfclient {

class Connector {
public:
    enum class State { Trying, Connected, Failed };

    // Starts with the first address; the last must be connected by `deadlineMs`.
    State start(std::vector<SocketAddress> addresses, long long deadlineMs);
    // The socket of the attempt under way (wait for POLLOUT), -1 when none.
    int fd() const { return socket_.get(); }
    // When the attempt under way is given up for the next address.
    long long attemptDeadlineMs() const { return attemptDeadlineMs_; }
    // The socket became writable: connected, or on to the next address.
    State ready();
    // `nowMs` is past the attempt's share of the time: on to the next address.
    State expire(long long nowMs);
    // The connected socket (non-blocking).
    UniqueFd take() { return std::move(socket_); }
    // Why each address tried so far failed, for a message: "127.0.0.2: Connection
    // refused; 127.0.0.1: no answer".
    const std::string& failures() const { return failures_; }

private:
    State next();
    void failed(const std::string& why);

    std::vector<SocketAddress> addresses_;
    std::size_t index_ = 0;
    long long deadlineMs_ = 0;
    long long attemptDeadlineMs_ = 0;
    UniqueFd socket_;
    std::string failures_;
};

}  // namespace qfclient
