// SPDX-License-Identifier: Apache-2.0
// Whether the gateway answers on eth0's link. The kernel is asked over rtnetlink to resolve
// the gateway as a neighbour of the interface: it sends the ARP request or neighbour
// solicitation itself, and its neighbour entry tells when the gateway has answered. The
// daemon sends no packet of its own and needs no raw socket: a netlink socket, and
// CAP_NET_ADMIN to make the kernel resolve the entry afresh.
#pragma once

#include <chrono>
#include <string>

// True when `gateway` (an IPv4 or IPv6 literal) answers as a neighbour on `ifname` within
// `limit`: its entry reaches the reachable state, which only an answer gives (or was set
// permanent by the administrator). Whatever entry was there before is resolved anew.
// `detail` says what was seen, for the log. Never throws.
bool gatewayAnswers(const std::string& ifname, const std::string& gateway,
                    std::chrono::milliseconds limit, std::string& detail);
