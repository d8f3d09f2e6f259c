// The values of a "set_net_conf" request, read without ever throwing, and the checks that
// keep a bad value away from the board's network files.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>

struct NetConfRequest {
    std::string idc;
    std::string socIp;
    std::string podId;
    std::string address;
    std::string gateway;
    int prefixLength = 0;
    std::string dns1;
    std::string dns2;
    std::uint8_t ipType = 0;  // 0 IPv4, 1 IPv6
    // Set when a value is of a kind that cannot be taken at all (an array as a name server,
    // a number beyond 32 bits); such a request is never applied.
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

// Why the request must not be applied, or empty when its values are fit for the board's
// files. Checks the address family of address, gateway and name servers, the prefix range
// and the container list.
std::string netConfProblem(const NetConfRequest& conf, const Json::Value& lxclist);

// Text of a container list member; false for an array or object, which has no text.
bool memberText(const Json::Value& value, std::string& text);
