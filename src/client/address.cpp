// SPDX-License-Identifier: Apache-2.0
#include "client/address.h"

#include <arpa/inet.h>

#include <cctype>

#include "client/reply.h"

namespace qfclient {

namespace {

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

}  // namespace

bool parseAddress(const std::string& text, LineAddress& address, std::string& error) {
    address = LineAddress();
    address.text = text;
    const auto scheme = [&](const char* prefix) { return text.rfind(prefix, 0) == 0; };
    if (!scheme("tcp:") && !scheme("telnet:")) {
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
    address.kind = scheme("tcp:") ? LineAddress::Kind::Tcp : LineAddress::Kind::Telnet;
    const std::string rest = text.substr(text.find(':') + 1);
    const std::size_t colon = rest.rfind(':');
    bool ok = colon != std::string::npos;
    if (ok) {
        std::string host = rest.substr(0, colon);
        address.port = rest.substr(colon + 1);
        if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
            host = host.substr(1, host.size() - 2);
            unsigned char buf[16];
            ok =
                host.find('\0') == std::string::npos && inet_pton(AF_INET6, host.c_str(), buf) == 1;
        } else {
            ok = isHostName(host);
        }
        address.host = host;
        ok = ok && isPort(address.port);
    }
    if (!ok) {
        error = "line address '" + escapeBytes(text) +
                "' is not tcp:HOST:PORT or telnet:HOST:PORT (an IPv6 host in brackets)";
    }
    return ok;
}

}  // namespace qfclient
