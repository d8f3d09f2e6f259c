// SPDX-License-Identifier: Apache-2.0
#include "query/if_probes.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "core/log.h"
#include "core/unique_fd.h"

std::uint8_t prefixLengthOfMask(std::uint32_t hostOrderMask) {
    std::uint8_t count = 0;
    for (std::uint32_t bit = 0x80000000U; bit != 0 && (hostOrderMask & bit) != 0; bit >>= 1)
        ++count;
    return count;
}

std::string macAddressText(const unsigned char* bytes) {
    char text[18];
    std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", bytes[0], bytes[1], bytes[2],
                  bytes[3], bytes[4], bytes[5]);
    return text;
}

namespace {

// Issues one interface request on a throw-away socket. False when the socket cannot be
// made (logged with `socketError`) or the kernel refuses the request (silent: no such
// interface, no address, interface down).
bool interfaceRequest(const char* ifname, unsigned long request, const char* socketError,
                      struct ifreq& ifr) {
    UniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock.valid()) {
        logLine(socketError, ifname);
        return false;
    }
    ifr = ifreq{};
    std::strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
    return ::ioctl(sock.get(), request, &ifr) >= 0;
}

std::uint32_t ipv4Of(const struct sockaddr& sa) {
    struct sockaddr_in in {};
    std::memcpy(&in, &sa, sizeof(in));
    return in.sin_addr.s_addr;
}

}  // namespace

void getIpv4Addr(NetworkState& net, const char* ifname) {
    net.readAddress(std::string());
    struct ifreq ifr {};
    if (!interfaceRequest(ifname, SIOCGIFADDR, "[QuillFerry] get %s ipv4 socket create failed",
                          ifr))
        return;
    struct in_addr addr {};
    addr.s_addr = ipv4Of(ifr.ifr_addr);
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &addr, text, sizeof(text)) != nullptr) net.readAddress(text);
}

void getIpv4NetMask(NetworkState& net, const char* ifname) {
    net.readPrefix(0);
    struct ifreq ifr {};
    if (!interfaceRequest(ifname, SIOCGIFNETMASK, "[QuillFerry] get %s ipv4 netmask fd failed",
                          ifr))
        return;
    net.readPrefix(prefixLengthOfMask(ntohl(ipv4Of(ifr.ifr_netmask))));
}

void getIpv4Mac(NetworkState& net, const char* ifname) {
    struct ifreq ifr {};
    if (!interfaceRequest(ifname, SIOCGIFHWADDR,
                          "[QuillFerry] get %s ipv4 mac create socket failed", ifr)) {
        return;
    }
    unsigned char bytes[6];
    std::memcpy(bytes, ifr.ifr_hwaddr.sa_data, sizeof(bytes));
    net.readMac(macAddressText(bytes));
}
