// SPDX-License-Identifier: Apache-2.0
#include "responders.h"

#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

#include "core/constants.h"

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// What a telnet console server that agrees to everything the client asks sends: binary both
// ways, com port control, and each serial setting confirmed (115200 8N1).
std::string telnetAgreeing() {
    const unsigned char bytes[] = {255, 251, 0,   255, 253, 0,   255, 253, 44,  255,
                                   250, 44,  101, 0,   1,   194, 0,   255, 240, 255,
                                   250, 44,  102, 8,   255, 240, 255, 250, 44,  103,
                                   1,   255, 240, 255, 250, 44,  104, 1,   255, 240};
    return std::string(reinterpret_cast<const char*>(bytes), sizeof(bytes));
}

struct Connection {
    Kind kind = Kind::Healthy;
    std::size_t sent = 0;  // Slowloris: bytes of the acknowledgement sent
    SSL* ssl = nullptr;    // the TLS kinds
    bool handshaken = false;
};

// A reply to `request` (its uuid echoed) of 8 KiB with its newline.
std::string longest(const std::string& request) {
    const std::size_t at = request.find("\"uuid\":\"");
    const std::size_t end = at == std::string::npos ? at : request.find('"', at + 8);
    const std::string uuid = end == std::string::npos ? "" : request.substr(at + 8, end - at - 8);
    std::string reply = "{\"ret_val\":0,\"uuid\":\"" + uuid + "\",\"x\":\"";
    reply.append(8192 - reply.size() - 3, 'y');
    return reply + "\"}\n";
}

bool overTls(Kind kind) {
    return kind == Kind::Tls || kind == Kind::Telnets;
}

}  // namespace

Responders::Responders(int boards, const std::function<Kind(int board)>& kindOf, TlsFiles tls)
    : tls_(std::move(tls)) {
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

Responders::~Responders() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
}

void Responders::serve() {
    SSL_CTX* ctx = nullptr;
    if (!tls_.cert.empty()) {
        ctx = SSL_CTX_new(TLS_server_method());
        if (ctx == nullptr || SSL_CTX_use_certificate_chain_file(ctx, tls_.cert.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(ctx, tls_.key.c_str(), SSL_FILETYPE_PEM) != 1)
            _exit(1);
    }
    std::vector<pollfd> fds;
    for (const int fd : listeners_) fds.push_back({fd, POLLIN, 0});
    const std::size_t listeners = fds.size();
    std::vector<Connection> conns(listeners);
    const std::string ack(qf::kProbeAck, qf::kProbeAckSize);
    const std::string endless(4096, 'x');
    const std::string agreeing = telnetAgreeing();
    std::string garbage(4096, '\0');
    unsigned seed = 1;
    for (char& c : garbage) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 16);
    char buf[4096];
    auto lastTrickle = Clock::now();
    const auto closeAt = [&](std::size_t i) {
        if (conns[i].ssl != nullptr) SSL_free(conns[i].ssl);
        conns[i].ssl = nullptr;
        ::close(fds[i].fd);
        fds[i].fd = -1;  // poll ignores it from now on
    };
    for (;;) {
        if (::poll(fds.data(), fds.size(), 50) < 0) _exit(1);
        const bool trickle = Clock::now() - lastTrickle >= std::chrono::milliseconds(200);
        if (trickle) lastTrickle = Clock::now();
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0) continue;
            if (i < listeners) {
                if ((fds[i].revents & POLLIN) == 0) continue;
                const Kind kind = kinds_[i];
                const int c = ::accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (c < 0) continue;
                if (kind == Kind::Reset) {
                    const linger abort = {1, 0};
                    ::setsockopt(c, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
                    ::close(c);
                    continue;
                }
                if (kind == Kind::HalfClosed) ::shutdown(c, SHUT_WR);
                if (kind == Kind::Telnet && ::write(c, agreeing.data(), agreeing.size()) < 0)
                    _exit(1);
                Connection conn;
                conn.kind = kind;
                if (overTls(kind)) {
                    conn.ssl = SSL_new(ctx);
                    SSL_set_fd(conn.ssl, c);
                    SSL_set_accept_state(conn.ssl);
                }
                const bool floods = kind == Kind::Endless || kind == Kind::Garbage;
                fds.push_back({c, static_cast<short>(POLLIN | (floods ? POLLOUT : 0)), 0});
                conns.push_back(conn);
                continue;
            }
            Connection& c = conns[i];
            if (c.kind == Kind::Slowloris && trickle && c.sent < ack.size()) {
                if (::write(fds[i].fd, &ack[c.sent], 1) == 1) ++c.sent;
            }
            if ((fds[i].revents & POLLOUT) != 0) {
                const std::string& flood = c.kind == Kind::Endless ? endless : garbage;
                if (::write(fds[i].fd, flood.data(), flood.size()) < 0 && errno != EAGAIN) {
                    closeAt(i);
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
                } else {
                    const int err = SSL_get_error(c.ssl, rc);
                    if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) closeAt(i);
                }
                continue;
            }
            const ssize_t n = c.ssl != nullptr ? SSL_read(c.ssl, buf, sizeof(buf))
                                               : ::read(fds[i].fd, buf, sizeof(buf));
            if (n <= 0) {
                if (c.ssl != nullptr &&
                    SSL_get_error(c.ssl, static_cast<int>(n)) == SSL_ERROR_WANT_READ)
                    continue;
                closeAt(i);
            } else if (std::memchr(buf, '\n', static_cast<std::size_t>(n)) == nullptr) {
                continue;
            } else if (c.ssl != nullptr) {
                SSL_write(c.ssl, ack.data(), static_cast<int>(ack.size()));
            } else if (c.kind == Kind::Healthy || c.kind == Kind::Telnet) {
                if (::write(fds[i].fd, ack.data(), ack.size()) < 0) _exit(1);
            } else if (c.kind == Kind::Longest) {
                const std::string reply = longest(std::string(buf, static_cast<std::size_t>(n)));
                if (::write(fds[i].fd, reply.data(), reply.size()) < 0) _exit(1);
            }
        }
    }
}
