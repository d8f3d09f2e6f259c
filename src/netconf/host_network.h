// The board's own network setup: the ifupdown interface file, the resolver file, and the
// restart of eth0 through ifdown/ifup.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "core/child_process.h"
#include "core/constants.h"

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
// durable together. 0, or kRetWriteFailed when a file could not be written (logged).
int updateLinuxIpconfig(const Lines& interfaceLines, const Lines& resolverLines);

// "<program> eth0 --ignore-errors", run directly (no shell) within `timeout`.
ChildOutcome ifdown(std::chrono::milliseconds timeout, const char* program = qf::kIfdownProgram);
ChildOutcome ifup(std::chrono::milliseconds timeout, const char* program = qf::kIfupProgram);
// ifdown, then ifup; the bitwise OR of their statuses.
int restartNetworking(std::chrono::milliseconds timeout,
                      const char* ifdownProgram = qf::kIfdownProgram,
                      const char* ifupProgram = qf::kIfupProgram);

// Writes `mtu` (no line feed) to eth0's MTU node, `path`; nothing when it cannot be opened.
void set_mtu(const std::string& mtu, const char* path = qf::kMtuFile);

// The time limit from QUILLFERRY_IFUP_TIMEOUT (`value`, null when unset): whole seconds from
// 1 to an hour; anything else gives the default, and `valid` says so.
std::chrono::seconds ifupTimeout(const char* value, bool& valid);

// A usable DNS search domain: `value` when it is a plain domain name (letters, digits,
// hyphens and dots, at most 253 characters), otherwise the compiled default. The value goes
// into configuration lines, so nothing else may pass.
std::string dnsSearchDomain(const char* value);
