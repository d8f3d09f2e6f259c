// SPDX-License-Identifier: Apache-2.0
#include "client/connector.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/fd_io.h"

namespace qfclient {

Connector::State Connector::start(std::vector<SocketAddress> addresses, long long deadlineMs) {
    addresses_ = std::move(addresses);
    index_ = 0;
    deadlineMs_ = deadlineMs;
    failures_.clear();
    socket_.reset();
    return next();
}

void Connector::failed(const std::string& why) {
    socket_.reset();
    if (!failures_.empty()) failures_ += "; ";
    // The address is named when there is more than one to tell apart.
    failures_ += addresses_.size() > 1 ? addressText(addresses_[index_]) + ": " + why : why;
    ++index_;
}

// Starts the attempt on the next address that takes one.
Connector::State Connector::next() {
    while (index_ < addresses_.size()) {
        const SocketAddress& a = addresses_[index_];
        socket_.reset(::socket(a.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!socket_.valid()) {
            failed(std::string("cannot make a socket: ") + std::strerror(errno));
            continue;
        }
        // Requests are single short lines: sent at once rather than gathered.
        const int on = 1;
        ::setsockopt(socket_.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        if (::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&a.storage), a.size) != 0 &&
            errno != EINPROGRESS) {
            failed(std::strerror(errno));
            continue;
        }
        const long long now = monotonicMs();
        const auto left = static_cast<long long>(addresses_.size() - index_);
        attemptDeadlineMs_ = index_ + 1 == addresses_.size()
                                 ? deadlineMs_
                                 : now + std::max(0LL, deadlineMs_ - now) / left;
        return State::Trying;
    }
    return State::Failed;
}

Connector::State Connector::ready() {
    int err = 0;
    socklen_t len = sizeof(err);
    if (::getsockopt(socket_.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err == 0) return State::Connected;
    failed(std::strerror(err));
    return next();
}

Connector::State Connector::expire(long long nowMs) {
    if (!socket_.valid() || nowMs < attemptDeadlineMs_) return State::Trying;
    failed("no answer");
    return next();
}

}  // namespace qfclient
