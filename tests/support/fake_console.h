// SPDX-License-Identifier: Apache-2.0
// A console server's port played by a test on a loopback TCP port: it accepts one
// connection and runs the test's script on it in a thread of its own. loopbackSocket()
// makes the other sockets such tests need: a port that refuses connections, a client.
// telnetBytes() and telnetAgreeing() spell what a telnet console server sends.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <thread>

#include "core/unique_fd.h"

// A loopback TCP socket connected to `port`, or (port 0) bound to a free port, which is put
// into `bound`. Invalid when that fails.
inline UniqueFd loopbackSocket(int port, int* bound = nullptr) {
    UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{
        AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof(addr);
    auto* a = reinterpret_cast<sockaddr*>(&addr);
    if (port != 0 ? ::connect(s.get(), a, len) != 0
                  : ::bind(s.get(), a, len) != 0 || ::getsockname(s.get(), a, &len) != 0)
        s.reset();
    if (bound != nullptr) *bound = ntohs(addr.sin_port);
    return s;
}

// Bytes given as numbers (telnet commands: 255 IAC, 251 WILL, 252 WONT, 253 DO, 254 DONT,
// 250 SB, 240 SE; options: 0 binary, 44 com port control).
inline std::string telnetBytes(std::initializer_list<int> list) {
    return std::string(list.begin(), list.end());
}

// A telnet console server that agrees to binary both ways (unless told not to) and to com
// port control, and confirms each serial setting, the baud rate as `baud`.
inline std::string telnetAgreeing(int baud = 115200, bool binary = true) {
    return (binary ? telnetBytes({255, 251, 0, 255, 253, 0}) : "") + telnetBytes({255, 253, 44}) +
           telnetBytes({255, 250, 44, 101, baud >> 24, (baud >> 16) & 255, (baud >> 8) & 255,
                        baud & 255, 255, 240}) +
           telnetBytes({255, 250, 44, 102, 8, 255, 240, 255, 250, 44, 103, 1, 255, 240}) +
           telnetBytes({255, 250, 44, 104, 1, 255, 240});
}

class FakeConsole {
public:
    using Script = std::function<void(int fd)>;

    explicit FakeConsole(Script script) : listener_(loopbackSocket(0, &port_)) {
        if (!listener_.valid() || ::listen(listener_.get(), 4) != 0)
            throw std::runtime_error("cannot listen on loopback");
        thread_ = std::thread([this, script = std::move(script)] {
            pollfd p = {listener_.get(), POLLIN, 0};
            if (::poll(&p, 1, 10000) != 1) return;
            const UniqueFd peer(::accept(listener_.get(), nullptr, nullptr));
            if (peer.valid()) script(peer.get());
        });
    }
    ~FakeConsole() { thread_.join(); }

    int port() const { return port_; }
    std::string address(const char* scheme = "tcp") const {
        return std::string(scheme) + ":127.0.0.1:" + std::to_string(port_);
    }

    // The uuid a request line carries, as its JSON text ("\"u\"", null); empty when none.
    static std::string uuidOf(const std::string& line) {
        const std::size_t at = line.find("\"uuid\":");
        if (at == std::string::npos) return "";
        const std::size_t end =
            line[at + 7] == '"' ? line.find('"', at + 8) + 1 : line.find_first_of(",}", at + 7);
        return line.substr(at + 7, end - at - 7);
    }
    // Sends `first`, then once a line (the request, after any telnet negotiation) has come,
    // after `delayMs` what `reply` makes of it, then `after`; waits for the client to leave.
    static Script replying(std::function<std::string(const std::string& line)> reply,
                           const std::string& first = "", const std::string& after = "",
                           int delayMs = 0) {
        return [=](int fd) {
            write(fd, first);
            const std::string line = readLine(fd);
            if (line.empty()) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            write(fd, reply(line) + after);
            awaitClose(fd);
        };
    }
    // Sends `first`, then `answer` once a line has come, and waits for the client to leave.
    static Script answering(const std::string& first, const std::string& answer) {
        return replying([answer](const std::string&) { return answer; }, first);
    }

    // Reads up to and including the next newline (or what came within 5 s).
    static std::string readLine(int fd) {
        std::string line;
        char c = 0;
        pollfd p = {fd, POLLIN, 0};
        while (line.empty() || line.back() != '\n') {
            if (::poll(&p, 1, 5000) != 1 || ::read(fd, &c, 1) != 1) break;
            line += c;
        }
        return line;
    }
    static void write(int fd, const std::string& bytes) {
        if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0) {
            // the client has gone: what the script sends no longer matters
        }
    }
    // Sends `bytes` a byte every 300 ms (13 bytes at most).
    static void trickle(int fd, const std::string& bytes) {
        for (std::size_t i = 0; i < bytes.size() && i < 13; ++i) {
            write(fd, bytes.substr(i, 1));
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
    }
    // Calls `send` until it fails or 4 s have passed: a flood of what it sends.
    template <typename Send>
    static void forSeconds(Send send) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(4);
        while (std::chrono::steady_clock::now() < end && send()) {
        }
    }
    // Sends `bytes` again and again while the client takes them, for 4 s at most.
    static void flood(int fd, const std::string& bytes) {
        forSeconds([&] { return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) > 0; });
    }
    // Random bytes, newlines and zero bytes among them.
    static std::string garbage(std::size_t size) {
        std::string bytes(size, '\0');
        unsigned seed = 7;
        for (char& c : bytes) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 16);
        return bytes;
    }
    // Waits until the client closes its end (or 5 s pass); returns what it sent meanwhile.
    static std::string awaitClose(int fd) {
        std::string all;
        char buf[256];
        pollfd p = {fd, POLLIN, 0};
        for (ssize_t n = 1; n > 0 && ::poll(&p, 1, 5000) == 1;) {
            n = ::read(fd, buf, sizeof(buf));
            all.append(buf, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        }
        return all;
    }

private:
    int port_ = 0;  // before listener_, which sets it
    UniqueFd listener_;
    std::thread thread_;
};
