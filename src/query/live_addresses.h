// SPDX-License-Identifier: Apache-2.0
// An interface's addresses as the kernel has them now, so that a change made by hand shows.
#pragma once

#include <json/json.h>

struct ifaddrs;

// {"ipv4": [{"address", "netmask"}...], "ipv6": [...]} of `ifname` in `list` (as getifaddrs
// gives it), in the kernel's order, IPv6 link-local addresses left out, at most
// qf::kLiveAddressesMax of each family; "netmask" is the prefix length. Pure.
Json::Value addressesOf(const struct ifaddrs* list, const char* ifname);

// The same for the kernel's list now; null when it cannot be read (logged).
Json::Value liveAddresses(const char* ifname);
