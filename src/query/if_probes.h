// SPDX-License-Identifier: Apache-2.0
// The interface probes: eth0's address, prefix length and MAC address, read with interface
// requests into the network state, and the conversions behind them.
#pragma once

#include <cstdint>
#include <string>

#include "core/network_state.h"

// The interface's IPv4 address (empty when it has none), its prefix length (0 then) and its
// MAC address (kept as it was when it cannot be read), into `net`.
void getIpv4Addr(NetworkState& net, const char* ifname);
void getIpv4NetMask(NetworkState& net, const char* ifname);
void getIpv4Mac(NetworkState& net, const char* ifname);

// Number of leading one bits of a netmask in host byte order: 255.255.255.0 gives 24, a
// mask with a hole gives the length of its leading run.
std::uint8_t prefixLengthOfMask(std::uint32_t hostOrderMask);

// Six bytes as "0a:1b:2c:3d:4e:5f".
std::string macAddressText(const unsigned char* bytes);
