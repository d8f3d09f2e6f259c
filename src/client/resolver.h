// SPDX-License-Identifier: Apache-2.0
// Names of console servers looked up without blocking, in the lines' event loop: one c-ares
// channel per loop (made at the first lookup, reading /etc/resolv.conf, /etc/hosts and
// /etc/nsswitch.conf as c-ares does), its sockets polled with the lines' descriptors. Lines
// that ask for the same name at once share one lookup. An address literal needs none
// (literalAddresses).
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace qfclient {

struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t size = 0;
};

// At most this many of a name's addresses are tried: a DNS answer cannot make a line try
// without end.
inline constexpr std::size_t kMaxAddresses = 16;

// The address of a literal host ("127.0.0.1", "fd00::1") with `port`; false for a name.
bool literalAddress(const std::string& host, const std::string& port, SocketAddress& address);

// An address as text: "127.0.0.1", "fd00::1".
std::string addressText(const SocketAddress& address);

class Resolver {
public:
    // The addresses found (in the order to try them) or, when there are none, why.
    using Done = std::function<void(std::vector<SocketAddress>, const std::string& error)>;

    Resolver();
    ~Resolver();
    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;

    // Starts looking `host` up, its addresses given `port`. `done` is called from
    // process() (or, for a name in /etc/hosts, perhaps at once), unless the lookup is
    // cancelled first. Returns the lookup's ticket (never 0).
    std::uint64_t lookup(const std::string& host, const std::string& port, Done done);
    // `done` of the ticket will not be called.
    void cancel(std::uint64_t ticket);

    // Appends the resolver's sockets with their events; returns how many.
    std::size_t pollFds(std::vector<pollfd>& fds) const;
    // Milliseconds until the resolver must be served even without an event; -1: no lookup
    // is under way.
    long long wakeInMs() const;
    // Serves the resolver's sockets (`count` entries of `fds` as pollFds() made them, with
    // their revents) and its timeouts.
    void process(const pollfd* fds, std::size_t count);

    struct Lookup;  // one name's lookup and who waits for it (resolver.cpp)

private:
    struct Channel;
    bool ensureChannel(std::string& error);

    std::unique_ptr<Channel> channel_;
    std::map<std::string, std::shared_ptr<Lookup>> lookups_;  // by host, under way
    std::uint64_t nextTicket_ = 1;
};

}  // namespace qfclient
