// SPDX-License-Identifier: Apache-2.0
#include "client/resolver.h"

#include <ares.h>
#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <utility>

namespace qfclient {

namespace {

void setPort(SocketAddress& address, const std::string& port) {
    const auto value = static_cast<std::uint16_t>(std::stoul(port));
    if (address.storage.ss_family == AF_INET) {
        reinterpret_cast<sockaddr_in*>(&address.storage)->sin_port = htons(value);
    } else {
        reinterpret_cast<sockaddr_in6*>(&address.storage)->sin6_port = htons(value);
    }
}

}  // namespace

bool literalAddress(const std::string& host, const std::string& port, SocketAddress& address) {
    address = SocketAddress();
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address.storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        address.size = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        address.size = sizeof(sockaddr_in6);
    } else {
        return false;
    }
    setPort(address, port);
    return true;
}

std::string addressText(const SocketAddress& address) {
    char text[INET6_ADDRSTRLEN] = "?";
    const void* raw =
        address.storage.ss_family == AF_INET
            ? static_cast<const void*>(
                  &reinterpret_cast<const sockaddr_in*>(&address.storage)->sin_addr)
            : static_cast<const void*>(
                  &reinterpret_cast<const sockaddr_in6*>(&address.storage)->sin6_addr);
    ::inet_ntop(address.storage.ss_family, raw, text, sizeof(text));
    return text;
}

struct Resolver::Channel {
    ares_channel channel = nullptr;
    // Lookups whose answer came, waiting to be handed to their lines from process().
    std::vector<std::shared_ptr<Lookup>> completed;
    ~Channel() {
        // Calls every lookup still under way back with ARES_EDESTRUCTION.
        if (channel != nullptr) ares_destroy(channel);
    }
};

struct Resolver::Lookup {
    struct Waiter {
        std::uint64_t ticket;
        std::string port;
        Done done;
    };
    std::string host;
    std::vector<Waiter> waiters;
    Channel* channel = nullptr;  // null once the resolver has gone
    std::vector<SocketAddress> found;
    std::string error;
};

Resolver::Resolver() : channel_(std::make_unique<Channel>()) {}

Resolver::~Resolver() {
    // No waiter is called back from here: the lines have gone before their loop.
    for (auto& [host, lookup] : lookups_) lookup->channel = nullptr;
    channel_.reset();
}

bool Resolver::ensureChannel(std::string& error) {
    if (channel_->channel != nullptr) return true;
    static std::once_flag once;
    static int initialised = ARES_SUCCESS;
    std::call_once(once, [] { initialised = ares_library_init(ARES_LIB_INIT_ALL); });
    ares_channel channel = nullptr;
    const int rc = initialised != ARES_SUCCESS ? initialised : ares_init(&channel);
    if (rc != ARES_SUCCESS) {
        error = std::string("cannot start the name resolver: ") + ares_strerror(rc);
        return false;
    }
    channel_->channel = channel;
    return true;
}

std::uint64_t Resolver::lookup(const std::string& host, const std::string& port, Done done) {
    const std::uint64_t ticket = nextTicket_++;
    std::string error;
    if (!ensureChannel(error)) {
        // Handed over from process(), as any answer.
        auto failed = std::make_shared<Lookup>();
        failed->host = host;
        failed->error = error;
        failed->waiters.push_back({ticket, port, std::move(done)});
        channel_->completed.push_back(failed);
        return ticket;
    }
    auto& lookup = lookups_[host];
    if (lookup) {
        lookup->waiters.push_back({ticket, port, std::move(done)});
        return ticket;
    }
    lookup = std::make_shared<Lookup>();
    lookup->host = host;
    lookup->channel = channel_.get();
    lookup->waiters.push_back({ticket, port, std::move(done)});
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    // The lookup's own reference, given back in the callback (also when the channel is
    // destroyed with it under way).
    auto* held = new std::shared_ptr<Lookup>(lookup);
    ares_getaddrinfo(
        channel_->channel, host.c_str(), nullptr, &hints,
        [](void* arg, int status, int /*timeouts*/, ares_addrinfo* result) {
            const std::unique_ptr<std::shared_ptr<Lookup>> owned(
                static_cast<std::shared_ptr<Lookup>*>(arg));
            const std::shared_ptr<Lookup>& l = *owned;
            if (status == ARES_SUCCESS && result != nullptr) {
                for (const ares_addrinfo_node* n = result->nodes;
                     n != nullptr && l->found.size() < kMaxAddresses; n = n->ai_next) {
                    if ((n->ai_family != AF_INET && n->ai_family != AF_INET6) ||
                        n->ai_addrlen > sizeof(sockaddr_storage))
                        continue;
                    SocketAddress a;
                    std::memcpy(&a.storage, n->ai_addr, n->ai_addrlen);
                    a.size = n->ai_addrlen;
                    l->found.push_back(a);
                }
            }
            if (result != nullptr) ares_freeaddrinfo(result);
            if (l->found.empty()) {
                l->error = status == ARES_SUCCESS ? "no address" : ares_strerror(status);
            }
            if (status != ARES_EDESTRUCTION && l->channel != nullptr)
                l->channel->completed.push_back(l);
        },
        held);
    return ticket;
}

void Resolver::cancel(std::uint64_t ticket) {
    const auto drop = [ticket](const std::shared_ptr<Lookup>& lookup) {
        auto& w = lookup->waiters;
        w.erase(std::remove_if(w.begin(), w.end(),
                               [ticket](const Lookup::Waiter& x) { return x.ticket == ticket; }),
                w.end());
    };
    for (auto& [host, lookup] : lookups_) drop(lookup);
    for (const auto& lookup : channel_->completed) drop(lookup);
}

std::size_t Resolver::pollFds(std::vector<pollfd>& fds) const {
    if (channel_->channel == nullptr || lookups_.empty()) return 0;
    ares_socket_t socks[ARES_GETSOCK_MAXNUM];
    const int bits = ares_getsock(channel_->channel, socks, ARES_GETSOCK_MAXNUM);
    std::size_t added = 0;
    for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
        short events = 0;
        if (ARES_GETSOCK_READABLE(bits, i)) events |= POLLIN;
        if (ARES_GETSOCK_WRITABLE(bits, i)) events |= POLLOUT;
        if (events == 0) continue;
        fds.push_back({socks[i], events, 0});
        ++added;
    }
    return added;
}

long long Resolver::wakeInMs() const {
    if (!channel_->completed.empty()) return 0;
    if (channel_->channel == nullptr || lookups_.empty()) return -1;
    timeval tv{};
    const timeval* next = ares_timeout(channel_->channel, nullptr, &tv);
    if (next == nullptr) return 1000;
    return std::min(static_cast<long long>(next->tv_sec) * 1000 + (next->tv_usec + 999) / 1000,
                    1000LL);
}

void Resolver::process(const pollfd* fds, std::size_t count) {
    if (channel_->channel != nullptr) {
        for (std::size_t i = 0; i < count; ++i) {
            if (fds[i].revents == 0) continue;
            const bool in = (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
            const bool out = (fds[i].revents & (POLLOUT | POLLERR | POLLHUP)) != 0;
            ares_process_fd(channel_->channel, in ? fds[i].fd : ARES_SOCKET_BAD,
                            out ? fds[i].fd : ARES_SOCKET_BAD);
        }
        // Timeouts: a server that does not answer is given up, the next one asked.
        ares_process_fd(channel_->channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
    }
    // Handed over only now, outside c-ares: a line may start another lookup or cancel one.
    std::vector<std::shared_ptr<Lookup>> completed = std::move(channel_->completed);
    channel_->completed.clear();
    for (const auto& lookup : completed) {
        const auto it = lookups_.find(lookup->host);
        if (it != lookups_.end() && it->second == lookup) lookups_.erase(it);
    }
    for (const auto& lookup : completed) {
        while (!lookup->waiters.empty()) {
            Lookup::Waiter waiter = std::move(lookup->waiters.front());
            lookup->waiters.erase(lookup->waiters.begin());
            std::vector<SocketAddress> found = lookup->found;
            for (SocketAddress& a : found) setPort(a, waiter.port);
            waiter.done(std::move(found), lookup->error);
        }
    }
}

}  // namespace qfclient
