// SPDX-License-Identifier: Apache-2.0
// The values of a "set_net_conf" request, read without ever throwing, and the checks that
// keep a bad value away from the board's files and commands.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/network_state.h"

// A request's addresses (address, gateway, prefix length, name servers) and the rest of it.
struct NetConfRequest : Addresses {
    std::string idc;
    std::string socIp;
    std::string podId;
    std::uint8_t ipType = 0;  // 0 IPv4, 1 IPv6
    // The "lxclist" entries (each address of the request's family), when it is an array;
    // otherwise the containers stay as they are.
    bool containersGiven = false;
    std::vector<Container> containers;
    // Per entry: a null, which holds an unused slot (its files are written empty).
    std::vector<bool> unusedSlots;
    // Set when a value is of a kind that cannot be taken at all (an array as a name server,
    // a number beyond 32 bits, a container member that is no text); such a request is never
    // applied.
    std::string unreadable;

    bool isClear() const { return address == "clear" || gateway == "clear"; }
    // Everything an apply needs is present; the second name server is optional.
    bool isComplete() const;
};

// True when the request has the members a configuration needs: an "ipv4" or "ipv6" object,
// a "location" object and a "nameservers" array.
bool hasNetConfShape(const Json::Value& request);

// Reads a request that has the shape. Members of another type count as not given; the IPv6
// default fills an empty second name server.
NetConfRequest readNetConfRequest(const Json::Value& request);

// Why the request must not be applied, or empty when every value is fit for the board's
// files: well-formed UTF-8 without a control character anywhere (C0 with the zero byte, DEL,
// C1, U+2028, U+2029), address and gateway of the request's family and fit for an interface
// (not unspecified, loopback, multicast or broadcast), name servers and the SoC address IP
// literals, a prefix length in range, no ',' or '=' in the data centre, and each container but
// the unused slots with a MAC address of six hex pairs and an address like eth0's.
std::string netConfProblem(const NetConfRequest& conf);
