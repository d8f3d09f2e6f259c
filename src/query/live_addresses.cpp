// SPDX-License-Identifier: Apache-2.0
#include "query/live_addresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

#include "core/constants.h"
#include "core/log.h"

namespace {

// Leading one bits of a netmask of `length` bytes; a mask with a hole gives its leading run.
int prefixLength(const unsigned char* mask, std::size_t length) {
    int bits = 0;
    for (std::size_t i = 0; i < length; ++i) {
        for (unsigned bit = 0x80; bit != 0; bit >>= 1) {
            if ((mask[i] & bit) == 0) return bits;
            ++bits;
        }
    }
    return bits;
}

}  // namespace

Json::Value addressesOf(const struct ifaddrs* list, const char* ifname) {
    Json::Value live(Json::objectValue);
    Json::Value& v4 = live["ipv4"] = Json::Value(Json::arrayValue);
    Json::Value& v6 = live["ipv6"] = Json::Value(Json::arrayValue);
    for (const struct ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_name == nullptr ||
            std::strcmp(a->ifa_name, ifname) != 0)
            continue;
        char text[INET6_ADDRSTRLEN] = {};
        unsigned char mask[16] = {};
        std::size_t length = 0;
        Json::Value* family = nullptr;
        if (a->ifa_addr->sa_family == AF_INET) {
            struct sockaddr_in in {};
            std::memcpy(&in, a->ifa_addr, sizeof(in));
            ::inet_ntop(AF_INET, &in.sin_addr, text, sizeof(text));
            if (a->ifa_netmask != nullptr) {
                std::memcpy(&in, a->ifa_netmask, sizeof(in));
                std::memcpy(mask, &in.sin_addr, 4);
            }
            length = 4;
            family = &v4;
        } else if (a->ifa_addr->sa_family == AF_INET6) {
            struct sockaddr_in6 in6 {};
            std::memcpy(&in6, a->ifa_addr, sizeof(in6));
            if (IN6_IS_ADDR_LINKLOCAL(&in6.sin6_addr)) continue;
            ::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof(text));
            if (a->ifa_netmask != nullptr) {
                std::memcpy(&in6, a->ifa_netmask, sizeof(in6));
                std::memcpy(mask, &in6.sin6_addr, 16);
            }
            length = 16;
            family = &v6;
        } else {
            continue;
        }
        if (family->size() >= qf::kLiveAddressesMax) continue;
        Json::Value entry(Json::objectValue);
        entry["address"] = text;
        entry["netmask"] = prefixLength(mask, length);
        family->append(entry);
    }
    return live;
}

Json::Value liveAddresses(const char* ifname) {
    struct ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        logLine("[QuillFerry] cannot read the interfaces' addresses: %s", std::strerror(errno));
        return Json::Value();
    }
    const std::unique_ptr<struct ifaddrs, decltype(&::freeifaddrs)> owned(list, ::freeifaddrs);
    return addressesOf(list, ifname);
}
