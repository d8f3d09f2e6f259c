// SPDX-License-Identifier: Apache-2.0
// The boards of the fleet benchmark: responders on loopback TCP ports, one listening socket
// per board, served by a child process. A healthy board answers the probe as a board does,
// over raw TCP, telnet with RFC 2217, TLS or telnet inside TLS; the others are hostile in
// one way each (silent, flooding, garbage, a byte at a time, resetting, half-closed) or
// answer with the longest reply the client takes.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

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
    Telnet,      // a telnet console server with RFC 2217 that answers the probe
    Tls,         // answers the probe inside TLS
    Telnets,     // telnet with RFC 2217 inside TLS, answering the probe
};
inline constexpr Kind kHostile[] = {Kind::Silent,    Kind::Endless, Kind::Garbage,
                                    Kind::Slowloris, Kind::Reset,   Kind::HalfClosed};

// The certificate and key of the TLS kinds.
struct TlsFiles {
    std::string cert;
    std::string key;
};

class Responders {
public:
    // One board per index, each of the kind `kindOf` gives it. Throws std::runtime_error when
    // the sockets or the child cannot be made.
    Responders(int boards, const std::function<Kind(int board)>& kindOf, TlsFiles tls = {});
    ~Responders();
    Responders(const Responders&) = delete;
    Responders& operator=(const Responders&) = delete;

    const std::vector<int>& ports() const { return ports_; }
    const std::vector<Kind>& kinds() const { return kinds_; }

private:
    [[noreturn]] void serve();

    std::vector<int> listeners_;
    std::vector<int> ports_;
    std::vector<Kind> kinds_;
    TlsFiles tls_;
    pid_t pid_ = -1;
};
