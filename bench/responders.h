// SPDX-License-Identifier: Apache-2.0
// Boards played by responders on loopback TCP ports for the benchmarks of the client and the
// exporter: a child process with one listening socket per board, each board of a kind
// (healthy, hostile in various ways, answering the status query, or a console server that
// answers the probe over telnet with RFC 2217, TLS or telnet inside TLS), optionally as slow
// as a serial line at a given baud rate.
#pragma once

#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/constants.h"

namespace qfbench {

using Clock = std::chrono::steady_clock;

// Every board at once needs more descriptors than the default soft limit allows.
inline void raiseFileLimit() {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
}

[[noreturn]] inline void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// How a responder's board behaves.
enum class Kind {
    Healthy,     // answers the probe with its acknowledgement
    Silent,      // takes the connection and never answers
    Endless,     // sends without end, never a newline
    Garbage,     // sends random bytes without end, newlines and zero bytes among them
    Slowloris,   // sends the acknowledgement a byte every 200 ms
    Reset,       // resets the connection at once
    HalfClosed,  // closes its sending half at once and reads on
    Longest,     // answers a request with the longest reply the client takes (8 KiB)
    Stat,        // answers the status query as a board does, and the probe
    Telnet,      // a telnet console server with RFC 2217 that answers the probe
    Tls,         // answers the probe inside TLS
    Telnets,     // telnet with RFC 2217 inside TLS, answering the probe
    InForce,     // answers get_net_conf as a board that runs kNetwork does
};

// The network of an InForce board's inventory entry, and what such a board reports.
constexpr const char* kNetwork =
    R"({"address": "10.0.1.8/24", "gateway": "10.0.1.1", "dns": ["10.0.0.53"], "idc": "dc1",)"
    R"( "soc_ip": "10.0.1.8", "pod_id": 3, "containers": [{"mac": "02:00:00:00:01:0a",)"
    R"( "address": "10.0.1.10"}]})";
constexpr const char* kNetConfReply =
    R"({"cmd":"get_net_conf","in_force":{"ipv4":{"address":"10.0.1.8","gateway":"10.0.1.1",)"
    R"("netmask":24},"location":{"idc":"dc1","pod_id":3,"soc_ip":"10.0.1.8"},"lxclist":[{"ipv4":)"
    R"("10.0.1.10","mac":"02:00:00:00:01:0a"}],"nameservers":["10.0.0.53"]},"ipv4":{"address":)"
    R"("10.0.1.8","gateway":"10.0.1.1","netmask":24},"live":{"ipv4":[{"address":"10.0.1.8",)"
    R"("netmask":24}],"ipv6":[]},"lxclist":[{"ipv4":"10.0.1.10","mac":"02:00:00:00:01:0a"}],)"
    R"("mac":"02:51:46:00:00:01","method":"static","nameservers":["10.0.0.53"],"ret_val":0,)";
constexpr Kind kHostile[] = {Kind::Silent,    Kind::Endless, Kind::Garbage,
                             Kind::Slowloris, Kind::Reset,   Kind::HalfClosed};

// The certificate and key of the TLS kinds.
struct TlsFiles {
    std::string cert;
    std::string key;
};

// The responders: one listening socket per board, each board's kind from `kindOf`.
class Responders {
public:
    // With `baud`, a board answers once the request and its reply would have crossed a
    // serial line at that rate (10 bits a byte), as a real board's line takes them.
    Responders(int boards, const std::function<Kind(int board)>& kindOf, int baud = 0,
               TlsFiles tls = {})
        : baud_(baud), tls_(std::move(tls)) {
        for (int i = 0; i < boards; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t len = sizeof(addr);
            if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
                ::listen(fd, 8) != 0 ||
                ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
                fail("cannot listen on loopback");
            listeners_.push_back(fd);
            ports_.push_back(ntohs(addr.sin_port));
            kinds_.push_back(kindOf(i));
        }
        pid_ = ::fork();
        if (pid_ < 0) fail("fork");
        if (pid_ == 0) serve();  // never returns
        for (const int fd : listeners_) ::close(fd);
    }
    ~Responders() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    const std::vector<int>& ports() const { return ports_; }
    const std::vector<Kind>& kinds() const { return kinds_; }

private:
    struct Connection {
        explicit Connection(Kind k) : kind(k) {}
        Kind kind;
        std::size_t sent = 0;  // Slowloris: bytes of the acknowledgement sent
        std::string reply;     // an answer waiting for its time on the line
        Clock::time_point due;
        SSL* ssl = nullptr;  // the TLS kinds
        bool handshaken = false;
    };

    static bool overTls(Kind kind) { return kind == Kind::Tls || kind == Kind::Telnets; }

    // What a telnet console server that agrees to everything the client asks sends: binary
    // both ways, com port control, and each serial setting confirmed (115200 8N1).
    static std::string telnetAgreeing() {
        const unsigned char bytes[] = {255, 251, 0,   255, 253, 0,   255, 253, 44,  255,
                                       250, 44,  101, 0,   1,   194, 0,   255, 240, 255,
                                       250, 44,  102, 8,   255, 240, 255, 250, 44,  103,
                                       1,   255, 240, 255, 250, 44,  104, 1,   255, 240};
        return std::string(reinterpret_cast<const char*>(bytes), sizeof(bytes));
    }

    [[noreturn]] void serve() {
        if (!tls_.cert.empty()) {
            ctx_ = SSL_CTX_new(TLS_server_method());
            if (ctx_ == nullptr ||
                SSL_CTX_use_certificate_chain_file(ctx_, tls_.cert.c_str()) != 1 ||
                SSL_CTX_use_PrivateKey_file(ctx_, tls_.key.c_str(), SSL_FILETYPE_PEM) != 1)
                _exit(1);
        }
        const std::string agreeing = telnetAgreeing();
        std::vector<pollfd> fds;
        for (const int fd : listeners_) fds.push_back({fd, POLLIN, 0});
        const std::size_t listeners = fds.size();
        std::vector<Connection> conns(listeners, Connection(Kind::Healthy));
        const std::string ack(qf::kProbeAck, qf::kProbeAckSize);
        const std::string endless(4096, 'x');
        std::string garbage(4096, '\0');
        unsigned seed = 1;
        for (char& c : garbage) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 16);
        char buf[4096];
        auto lastTrickle = Clock::now();
        for (;;) {
            int wait = 50;
            const auto now = Clock::now();
            for (std::size_t i = listeners; i < fds.size(); ++i) {
                if (fds[i].fd < 0 || conns[i].reply.empty()) continue;
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(conns[i].due - now);
                wait = std::min(wait, static_cast<int>(std::max<long long>(0, left.count())));
            }
            if (::poll(fds.data(), fds.size(), wait) < 0) _exit(1);
            for (std::size_t i = listeners; i < fds.size(); ++i) {
                Connection& c = conns[i];
                if (fds[i].fd < 0 || c.reply.empty() || Clock::now() < c.due) continue;
                if (c.ssl != nullptr) {
                    SSL_write(c.ssl, c.reply.data(), static_cast<int>(c.reply.size()));
                } else if (::write(fds[i].fd, c.reply.data(), c.reply.size()) < 0) {
                    _exit(1);
                }
                c.reply.clear();
            }
            const bool trickle = Clock::now() - lastTrickle >= std::chrono::milliseconds(200);
            if (trickle) lastTrickle = Clock::now();
            for (std::size_t i = 0; i < fds.size(); ++i) {
                if (fds[i].fd < 0) continue;
                if (i < listeners) {
                    if ((fds[i].revents & POLLIN) != 0) accept(fds[i].fd, kinds_[i], fds, conns);
                    continue;
                }
                Connection& c = conns[i];
                if (c.kind == Kind::Slowloris && trickle && c.sent < ack.size()) {
                    if (::write(fds[i].fd, &ack[c.sent], 1) == 1) ++c.sent;
                }
                if ((fds[i].revents & POLLOUT) != 0) {
                    const std::string& flood = c.kind == Kind::Endless ? endless : garbage;
                    if (::write(fds[i].fd, flood.data(), flood.size()) < 0 && errno != EAGAIN) {
                        ::close(fds[i].fd);
                        fds[i].fd = -1;
                        continue;
                    }
                }
                if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
                if (c.ssl != nullptr && !c.handshaken) {
                    ERR_clear_error();
                    const int rc = SSL_accept(c.ssl);
                    if (rc == 1) {
                        c.handshaken = true;
                        if (c.kind == Kind::Telnets)
                            SSL_write(c.ssl, agreeing.data(), static_cast<int>(agreeing.size()));
                    } else if (const int err = SSL_get_error(c.ssl, rc);
                               err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
                        close(fds[i], c);
                    }
                    continue;
                }
                const ssize_t n = c.ssl != nullptr ? SSL_read(c.ssl, buf, sizeof(buf))
                                                   : ::read(fds[i].fd, buf, sizeof(buf));
                if (n <= 0) {
                    if (c.ssl != nullptr &&
                        SSL_get_error(c.ssl, static_cast<int>(n)) == SSL_ERROR_WANT_READ)
                        continue;
                    close(fds[i], c);  // poll ignores it from now on
                } else if (std::memchr(buf, '\n', static_cast<std::size_t>(n)) == nullptr) {
                    continue;
                } else if (c.kind != Kind::Silent && c.kind != Kind::Endless &&
                           c.kind != Kind::Garbage && c.kind != Kind::Slowloris &&
                           c.kind != Kind::HalfClosed) {
                    const std::string request(buf, static_cast<std::size_t>(n));
                    const bool probe = request.find(qf::kProbe) != std::string::npos;
                    c.reply =
                        c.kind == Kind::Longest ? longest(request)
                        : c.kind == Kind::InForce
                            ? kNetConfReply + std::string("\"uuid\":\"") + uuidOf(request) + "\"}\n"
                        : probe || c.kind != Kind::Stat ? ack
                                                        : stat(request);
                    c.due = Clock::now() + lineTime(request.size() + c.reply.size());
                }
            }
        }
    }

    static std::string uuidOf(const std::string& request) {
        const std::size_t at = request.find("\"uuid\":\"");
        const std::size_t end = at == std::string::npos ? at : request.find('"', at + 8);
        return end == std::string::npos ? "" : request.substr(at + 8, end - at - 8);
    }
    // A reply to `request` (its uuid echoed) of 8 KiB with its newline.
    static std::string longest(const std::string& request) {
        std::string reply = "{\"ret_val\":0,\"uuid\":\"" + uuidOf(request) + "\",\"x\":\"";
        reply.append(8192 - reply.size() - 3, 'y');
        return reply + "\"}\n";
    }
    // The status query's reply, as the board sends it.
    static std::string stat(const std::string& request) {
        return "{\"cmd\":\"get_stat\",\"cpu_pwr_lmt\":100,\"cpu_temp\":45000,\"netconf\":0,"
               "\"ret_val\":0,\"uuid\":\"" +
               uuidOf(request) + "\"}\n";
    }
    // The time `bytes` take on the line (none without a baud rate).
    std::chrono::microseconds lineTime(std::size_t bytes) const {
        if (baud_ <= 0) return std::chrono::microseconds(0);
        return std::chrono::microseconds(static_cast<long long>(bytes) * 10 * 1000000 / baud_);
    }

    static void close(pollfd& p, Connection& c) {
        if (c.ssl != nullptr) SSL_free(c.ssl);
        c.ssl = nullptr;
        ::close(p.fd);
        p.fd = -1;
    }

    void accept(int listener, Kind kind, std::vector<pollfd>& fds, std::vector<Connection>& conns) {
        const int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (c < 0) return;
        if (kind == Kind::Telnet) {
            const std::string agreeing = telnetAgreeing();
            if (::write(c, agreeing.data(), agreeing.size()) < 0) _exit(1);
        }
        if (kind == Kind::Reset) {
            const linger abort = {1, 0};
            ::setsockopt(c, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
            ::close(c);
            return;
        }
        if (kind == Kind::HalfClosed) ::shutdown(c, SHUT_WR);
        const bool floods = kind == Kind::Endless || kind == Kind::Garbage;
        fds.push_back({c, static_cast<short>(POLLIN | (floods ? POLLOUT : 0)), 0});
        conns.emplace_back(kind);
        if (overTls(kind)) {
            conns.back().ssl = SSL_new(ctx_);
            SSL_set_fd(conns.back().ssl, c);
            SSL_set_accept_state(conns.back().ssl);
        }
    }

    int baud_ = 0;
    TlsFiles tls_;
    SSL_CTX* ctx_ = nullptr;  // the child's
    std::vector<int> listeners_;
    std::vector<int> ports_;
    std::vector<Kind> kinds_;
    pid_t pid_ = -1;
};

}  // namespace qfbench
