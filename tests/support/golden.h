// SPDX-License-Identifier: Apache-2.0
// The board's files as their formats lay them out, written here from the formats themselves
// and never from the daemon's or the client's own code, so that a fault there shows.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace golden {

// The liveness probe's line (without its newline) and its acknowledgement, zero byte and all.
inline constexpr std::string_view kProbe = "Quillferry_Status_Check_5c81e07b94f2";
inline constexpr std::string_view kAck{"Quillferry_Ok!!!\n", 18};

inline std::string interfaces(bool v6, const std::string& address, int prefix,
                              const std::string& gateway, const std::string& search) {
    return "# The loopback network interface\nauto lo\niface lo inet loopback\nauto eth0\n" +
           std::string(v6 ? "#IPV6 static configuration\niface eth0 inet6 static\n"
                          : "iface eth0 inet static\n") +
           "    address " + address + "/" + std::to_string(prefix) + "\n    gateway " + gateway +
           "\n    dns-search " + search + "\n    post-up /usr/bin/eth0_config.sh\n";
}

inline std::string resolver(const std::string& search, const std::string& dns1,
                            const std::string& dns2) {
    return "domain " + search + "\noptions rotate\nnameserver " + dns1 + "\nnameserver " + dns2 +
           "\n";
}

// The binary IP configuration record (layout version 3, big-endian) of eth0.
inline std::string ipConfig(const std::string& address, std::uint32_t prefix,
                            const std::string& gateway, const std::string& dns1,
                            const std::string& dns2) {
    const auto u32 = [](std::uint32_t v) {
        return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                           static_cast<char>(v >> 8), static_cast<char>(v)};
    };
    const auto str = [](const std::string& s) {
        return std::string{static_cast<char>(s.size() >> 8), static_cast<char>(s.size())} + s;
    };
    return u32(3) + str("ipAssignment") + str("STATIC") + str("linkAddress") + str(address) +
           u32(prefix) + str("gateway") + u32(0) + u32(1) + str(gateway) + str("dns") + str(dns1) +
           str("dns") + str(dns2) + str("id") + str("eth0") + str("eos");
}

}  // namespace golden
