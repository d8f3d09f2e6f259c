// SPDX-License-Identifier: Apache-2.0
// The board's own network setup: the ifupdown interface file, the resolver file, and the
// restart of eth0 through ifdown/ifup.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "core/board_context.h"
#include "core/board_paths.h"
#include "core/child_process.h"
#include "core/constants.h"
#include "core/status.h"

using Lines = std::vector<std::string>;

// Interface file for a static configuration; ipType 0 is IPv4, 1 is IPv6.
Lines interfaceFileLines(std::uint8_t ipType, const std::string& address,
                         const std::string& gateway, int prefixLength,
                         const std::string& dnsSearch);
// Interface file after a clear: loopback and a bare eth0 stanza.
Lines clearedInterfaceLines();
// Resolver file; a name server line only for each name server given.
Lines resolverFileLines(const std::string& dnsSearch, const std::string& dns1,
                        const std::string& dns2);
// Every line followed by one line feed.
std::string joinLines(const Lines& lines);

// Replaces the interface file, and the resolver file when `resolverLines` is not empty, made
// durable together; a file that could not be written is logged.
Status updateLinuxIpconfig(const BoardPaths& paths, const Lines& interfaceLines,
                           const Lines& resolverLines);

// Gives eth0 a static configuration: ifdown with the old files, the interface and resolver
// files replaced (of the network state's family, with the board's DNS search domain), ifup.
// A file that could not be written, a command past its time limit, killed, or whose end was
// not learned fails it; otherwise ifup's status.
Status setIpConfig(BoardContext& board, const std::string& ifname, const std::string& address,
                   const std::string& gateway, int prefixLength, const std::string& dnsFirst,
                   const std::string& dnsSecond);
// Takes the configuration away: the network state cleared, the host information and the
// host's binary configuration removed for good, ifdown, the interface file without an
// address (the resolver file stays).
Status clearNetConf(BoardContext& board);

// "<program> eth0 --ignore-errors" for the board's ifdown and ifup, run directly (no shell)
// within `timeout`.
ChildOutcome ifdown(const BoardPaths& paths, std::chrono::milliseconds timeout);
ChildOutcome ifup(const BoardPaths& paths, std::chrono::milliseconds timeout);
// ifdown with "--force" added: it takes eth0's configuration down also where ifupdown does
// not count it as up (an ifup that failed half-way).
ChildOutcome ifdownForced(const BoardPaths& paths, std::chrono::milliseconds timeout);
// ifdown, then ifup; the bitwise OR of their statuses. Named by the board's interface; nothing
// calls it (set_net_conf writes the files between the two).
int restartNetworking(const BoardPaths& paths, std::chrono::milliseconds timeout);

// Writes `mtu` (no line feed) to eth0's MTU node, `path`; nothing when it cannot be opened.
// Named by the board's interface; nothing calls it.
void set_mtu(const std::string& mtu, const char* path = qf::kMtuFile);
