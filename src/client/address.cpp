// SPDX-License-Identifier: Apache-2.0
#include "quillferry/address.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "client/held_file.h"
#include "quillferry/reply.h"

namespace qfclient {

namespace {

using Kind = LineAddress::Kind;

struct Scheme {
    const char* prefix;
    Kind kind;
};
constexpr Scheme kSchemes[] = {
    {"tcp:", Kind::Tcp},         {"telnet:", Kind::Telnet}, {"tls:", Kind::Tls},
    {"telnets:", Kind::Telnets}, {"ssh:", Kind::Ssh},
};

constexpr std::size_t kMaxUserBytes = 256;

bool isHostName(const std::string& host) {
    if (host.empty() || host.size() > 253 || host.front() == '-' || host.front() == '.')
        return false;
    for (const char c : host) {
        if (std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '-' && c != '.') return false;
    }
    return true;
}

bool isPort(const std::string& port) {
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long value = std::stoul(port);
    return value >= 1 && value <= 65535;
}

// A console server's user name, which may carry its port selector ("admin:port05",
// "admin+port05"): printable ASCII, no spaces.
bool isUser(const std::string& user) {
    return !user.empty() && user.size() <= kMaxUserBytes &&
           std::all_of(user.begin(), user.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

// HOST:PORT, or HOST alone when `defaultPort` is given; an IPv6 host in brackets.
bool parseHostPort(const std::string& text, const char* defaultPort, LineAddress& address) {
    std::string host = text;
    std::string port;
    const bool bracketed = !text.empty() && text.front() == '[';
    const std::size_t close = bracketed ? text.find(']') : std::string::npos;
    if (bracketed && close == std::string::npos) return false;
    const std::size_t colon =
        bracketed ? (close + 1 < text.size() ? close + 1 : std::string::npos) : text.rfind(':');
    if (colon != std::string::npos) {
        if (text[colon] != ':') return false;
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    } else if (defaultPort != nullptr) {
        port = defaultPort;
    } else {
        return false;
    }
    bool ok = false;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        unsigned char buf[16];
        ok = host.find('\0') == std::string::npos && inet_pton(AF_INET6, host.c_str(), buf) == 1;
    } else {
        ok = isHostName(host);
    }
    address.host = host;
    address.port = port;
    return ok && isPort(port);
}

}  // namespace

bool overTls(Kind kind) {
    return kind == Kind::Tls || kind == Kind::Telnets;
}

bool speaksTelnet(Kind kind) {
    return kind == Kind::Telnet || kind == Kind::Telnets;
}

bool parseAddress(const std::string& text, LineAddress& address, std::string& error) {
    address = LineAddress();
    address.text = text;
    const Scheme* scheme =
        std::find_if(std::begin(kSchemes), std::end(kSchemes),
                     [&](const Scheme& s) { return text.rfind(s.prefix, 0) == 0; });
    if (scheme == std::end(kSchemes)) {
        if (text.empty()) {
            error = "empty line address";
            return false;
        }
        // Judged whole: the system would take the path up to a zero byte.
        if (text.find('\0') != std::string::npos) {
            error = "device path '" + escapeBytes(text) + "' holds a zero byte";
            return false;
        }
        address.path = text;
        return true;
    }
    address.kind = scheme->kind;
    std::string rest = text.substr(std::strlen(scheme->prefix));
    bool ok = true;
    if (address.kind == Kind::Ssh) {
        // The user is everything before the last '@': a console server's port selector
        // travels in it unchanged.
        const std::size_t at = rest.rfind('@');
        if (at != std::string::npos) {
            address.user = rest.substr(0, at);
            rest = rest.substr(at + 1);
            ok = isUser(address.user);
        }
    }
    ok = parseHostPort(rest, address.kind == Kind::Ssh ? "22" : nullptr, address) && ok;
    if (!ok) {
        error = "line address '" + escapeBytes(text) + "' is not " +
                (address.kind == Kind::Ssh
                     ? std::string("ssh:[USER@]HOST[:PORT] (USER printable, without spaces)")
                     : std::string(scheme->prefix) + "HOST:PORT") +
                " (an IPv6 host in brackets)";
    }
    return ok;
}

std::string lineFilesProblem(const LineAddress& address) {
    const bool ssh = address.kind == Kind::Ssh;
    const bool tls = overTls(address.kind);
    const struct {
        const char* what;
        const std::string* path;
        bool fits;
        const char* forKind;
    } files[] = {
        {"an identity", &address.identity, ssh, "ssh:"},
        {"a known hosts file", &address.knownHosts, ssh, "ssh:"},
        {"a CA file", &address.ca, tls, "tls: and telnets:"},
        {"a client certificate", &address.cert, tls, "tls: and telnets:"},
        {"a client key", &address.key, tls, "tls: and telnets:"},
    };
    for (const auto& f : files) {
        if (!f.path->empty() && !f.fits)
            return std::string(f.what) + " is for " + f.forKind + " lines only";
    }
    if (address.cert.empty() != address.key.empty())
        return "a client certificate needs its key, and a key its certificate";
    for (const auto& f : files) {
        if (f.path->empty()) continue;
        HeldFile file;
        std::string error;
        if (!holdFile(*f.path, file, error)) return std::string(f.what) + ": " + error;
    }
    return std::string();
}

}  // namespace qfclient
