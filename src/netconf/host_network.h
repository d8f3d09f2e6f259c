// The board's own network setup: the ifupdown interface file, the resolver file, and the
// restart of eth0 through ifdown/ifup.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

// Replaces the interface file, and the resolver file when `resolverLines` is not empty.
// Failures are logged and otherwise not reported: the caller's result is the ifup status.
int updateLinuxIpconfig(const Lines& interfaceLines, const Lines& resolverLines);

// Status of "/usr/sbin/ifdown eth0 --ignore-errors" and "/usr/sbin/ifup eth0 --ignore-errors"
// as system() reports it.
int ifdown();
int ifup();

// A usable DNS search domain: `value` when it is a plain domain name (letters, digits,
// hyphens and dots, at most 253 characters), otherwise the compiled default. The value goes
// into configuration lines, so nothing else may pass.
std::string dnsSearchDomain(const char* value);
