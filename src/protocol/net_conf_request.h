// SPDX-License-Identifier: Apache-2.0
// The values of a "set_net_conf" request, read without ever throwing, and the checks that
// keep a bad value away from the board's files and commands.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/net_values.h"

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
    // "verify_gateway": the seconds the gateway may take to answer once the configuration is
    // up (0: not asked for); `verifyGatewayGiven` even when its value is unfit.
    bool verifyGatewayGiven = false;
    int verifyGatewaySec = 0;
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

// Reads an "lxclist" into `conf` (its containers, unused slots and `containersGiven`), each
// address from the member `family` ("ipv4" or "ipv6"); a value of the wrong kind is noted in
// `conf.unreadable`.
void readContainerList(const Json::Value& lxclist, const char* family, NetConfRequest& conf);

// Why the request must not be applied, or empty when every value is fit for the board's
// files: well-formed UTF-8 without a control character anywhere (C0 with the zero byte, DEL,
// C1, U+2028, U+2029), address and gateway of the request's family and fit for an interface
// (not unspecified, loopback, multicast or broadcast), name servers and the SoC address IP
// literals, a prefix length in range, no ',' or '=' in the data centre, each container as
// containersProblem() wants it, and "verify_gateway", when given, a whole number of seconds
// in its range.
std::string netConfProblem(const NetConfRequest& conf);

// Why the containers must not be written, or empty: each but the unused slots with a MAC
// address of six hex pairs and an address of `conf.ipType`'s family like eth0's, all of it
// plain text.
std::string containersProblem(const NetConfRequest& conf);

// Why "verify_gateway" is unfit, or empty (also when it is not given).
std::string verifyGatewayProblem(const NetConfRequest& conf);
