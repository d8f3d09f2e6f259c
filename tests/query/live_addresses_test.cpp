// SPDX-License-Identifier: Apache-2.0
#include "query/live_addresses.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <deque>
#include <string>
#include <vector>

#include "query/if_probes.h"
#include "quillferry/request.h"

namespace {

// An interface address list as getifaddrs gives one.
class AddressList {
public:
    // `address` and `mask` IP literals of one family; an empty address: an entry without one.
    void add(const char* name, const std::string& address, const std::string& mask) {
        struct ifaddrs& a = entries_.emplace_back();
        a.ifa_name = const_cast<char*>(name);
        if (!address.empty()) {
            a.ifa_addr = socketAddress(address);
            a.ifa_netmask = socketAddress(mask);
        }
        if (entries_.size() > 1) entries_[entries_.size() - 2].ifa_next = &a;
    }
    const struct ifaddrs* head() const { return entries_.empty() ? nullptr : &entries_.front(); }

private:
    struct sockaddr* socketAddress(const std::string& text) {
        struct sockaddr_storage& s = addresses_.emplace_back();
        if (text.find(':') == std::string::npos) {
            auto* in = reinterpret_cast<struct sockaddr_in*>(&s);
            in->sin_family = AF_INET;
            EXPECT_EQ(::inet_pton(AF_INET, text.c_str(), &in->sin_addr), 1) << text;
        } else {
            auto* in6 = reinterpret_cast<struct sockaddr_in6*>(&s);
            in6->sin6_family = AF_INET6;
            EXPECT_EQ(::inet_pton(AF_INET6, text.c_str(), &in6->sin6_addr), 1) << text;
        }
        return reinterpret_cast<struct sockaddr*>(&s);
    }

    std::deque<struct ifaddrs> entries_;  // never moved: they point at each other
    std::deque<struct sockaddr_storage> addresses_;
};

// eth0's addresses in the kernel's order with their prefixes; not another interface's, not
// IPv6 link-local ones, at most 16 of a family.
TEST(LiveAddresses, EachFamilyOfTheInterfaceInOrder) {
    AddressList list;
    list.add("eth0", "10.0.0.8", "255.255.255.0");
    list.add("eth1", "10.9.0.8", "255.255.0.0");
    list.add("eth0", "fe80::51:46ff:fe00:1", "ffff:ffff:ffff:ffff::");
    list.add("eth0", "fd00::8", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ff80");
    list.add("eth0", "", "");  // the link itself (AF_PACKET) or one without an address
    list.add("eth0", "169.254.7.7", "255.255.0.0");
    list.add("eth00", "10.1.0.8", "255.255.255.0");
    EXPECT_EQ(qfclient::compactJson(addressesOf(list.head(), "eth0")),
              R"({"ipv4":[{"address":"10.0.0.8","netmask":24},)"
              R"({"address":"169.254.7.7","netmask":16}],)"
              R"("ipv6":[{"address":"fd00::8","netmask":121}]})");
    EXPECT_EQ(qfclient::compactJson(addressesOf(nullptr, "eth0")), R"({"ipv4":[],"ipv6":[]})");

    AddressList many;
    for (int i = 1; i <= 20; ++i) many.add("eth0", "10.0.0." + std::to_string(i), "255.0.0.0");
    const Json::Value cut = addressesOf(many.head(), "eth0");
    ASSERT_EQ(cut["ipv4"].size(), 16U);
    EXPECT_EQ(cut["ipv4"][15]["address"], "10.0.0.16");
}

// A netmask with a hole counts only its leading run of ones.
TEST(InterfaceProbeConversions, PrefixIsTheLeadingRunOfOnes) {
    const std::pair<std::uint32_t, int> masks[] = {
        {0xFFFFFF00U, 24}, {0xFFFFFFFFU, 32}, {0, 0},
        {0xFF00FF00U, 8},  {0x80000000U, 1},  {0x7FFFFFFFU, 0}};
    for (const auto& [mask, prefix] : masks)
        EXPECT_EQ(prefixLengthOfMask(mask), prefix) << std::hex << mask;
}

}  // namespace
