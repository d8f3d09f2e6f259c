// SPDX-License-Identifier: Apache-2.0
#include "protocol/net_conf_request.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstring>

#include "protocol/utf8.h"
#include "protocol/wire.h"

namespace {

bool isJsonObject(const Json::Value& value) {
    return value.type() == Json::objectValue;
}

std::string stringMember(const Json::Value& object, const char* name) {
    const Json::Value& v = object[name];
    return v.isString() ? v.asString() : std::string();
}

void noteUnreadable(NetConfRequest& conf, const std::string& why) {
    if (conf.unreadable.empty()) conf.unreadable = why;
}

// Reads an integral member as a signed 32-bit number; a number beyond that range cannot be
// a prefix length or a pod number.
bool intMember(const Json::Value& object, const char* name, int& out, NetConfRequest& conf) {
    const Json::Value& v = object[name];
    if (!v.isIntegral()) return false;
    if (!v.isInt()) {
        noteUnreadable(conf, std::string(name) + " is out of range");
        return false;
    }
    out = v.asInt();
    return true;
}

// An IP literal of `family`, judged on the whole text: inet_pton alone stops at a zero byte.
bool isAddress(int family, const std::string& text, unsigned char (&bytes)[16]) {
    return text.find('\0') == std::string::npos && inet_pton(family, text.c_str(), bytes) == 1;
}

bool isAddress(int family, const std::string& text) {
    unsigned char bytes[16];
    return isAddress(family, text, bytes);
}

// An address that an interface or a gateway can have: not unspecified ("this network" for
// IPv4), loopback, multicast, the broadcast address, or (IPv6) an IPv4-mapped address.
bool isHostAddress(int family, const std::string& text) {
    unsigned char a[16] = {};
    if (!isAddress(family, text, a)) return false;
    if (family == AF_INET) {
        const bool broadcast = a[0] == 255 && a[1] == 255 && a[2] == 255 && a[3] == 255;
        return a[0] != 0 && a[0] != 127 && (a[0] < 224 || a[0] > 239) && !broadcast;
    }
    const unsigned char zeros[10] = {};
    const bool first80Zero = std::memcmp(a, zeros, sizeof(zeros)) == 0;
    const bool low32Below2 = a[12] == 0 && a[13] == 0 && a[14] == 0 && a[15] <= 1;
    const bool unspecifiedOrLoopback = first80Zero && a[10] == 0 && a[11] == 0 && low32Below2;
    const bool mapped = first80Zero && a[10] == 0xff && a[11] == 0xff;
    return !unspecifiedOrLoopback && !mapped && a[0] != 0xff;
}

bool isAnyAddress(const std::string& text) {
    return isAddress(AF_INET, text) || isAddress(AF_INET6, text);
}

// Six pairs of hex digits joined by ':'.
bool isMacAddress(const std::string& text) {
    if (text.size() != 17) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool colon = i % 3 == 2;
        if (colon ? text[i] != ':' : std::isxdigit(static_cast<unsigned char>(text[i])) == 0)
            return false;
    }
    return true;
}

}  // namespace

void readContainerList(const Json::Value& lxclist, const char* family, NetConfRequest& conf) {
    conf.containersGiven = lxclist.isArray();
    if (!conf.containersGiven) return;
    for (const Json::Value& entry : lxclist) {
        Container c;
        conf.unusedSlots.push_back(entry.isNull());
        if (entry.isObject()) {
            for (const char* member : {"mac", "ipv4", "ipv6"}) {
                if (entry.isMember(member) && !entry[member].isString())
                    noteUnreadable(conf, std::string("a container's ") + member + " is not a text");
            }
            c.mac = stringMember(entry, "mac");
            c.ip = stringMember(entry, family);
        } else if (!entry.isNull()) {
            noteUnreadable(conf, "a container entry is not an object");
        }
        conf.containers.push_back(std::move(c));
    }
}

bool NetConfRequest::isComplete() const {
    return !idc.empty() && !socIp.empty() && !podId.empty() && !address.empty() &&
           !gateway.empty() && !dns1.empty() && prefixLength != 0;
}

bool hasNetConfShape(const Json::Value& request) {
    return (isJsonObject(request["ipv4"]) || isJsonObject(request["ipv6"])) &&
           isJsonObject(request["location"]) && request["nameservers"].isArray();
}

NetConfRequest readNetConfRequest(const Json::Value& request) {
    NetConfRequest conf;
    const Json::Value& location = request["location"];
    conf.idc = stringMember(location, "idc");
    conf.socIp = stringMember(location, "soc_ip");
    int pod = 0;
    if (intMember(location, "pod_id", pod, conf)) conf.podId = std::to_string(pod);

    const Json::Value& nameservers = request["nameservers"];
    for (Json::ArrayIndex i = 0; i < 2 && i < nameservers.size(); ++i) {
        const Json::Value& server = nameservers[i];
        if (server.isArray() || server.isObject()) {
            noteUnreadable(conf, "a name server is not a text");
        } else {
            (i == 0 ? conf.dns1 : conf.dns2) = server.asString();
        }
    }

    const bool v4 = isJsonObject(request["ipv4"]);
    conf.ipType = v4 ? 0 : 1;
    const char* family = v4 ? "ipv4" : "ipv6";
    const Json::Value& settings = request[family];
    conf.address = stringMember(settings, "address");
    conf.gateway = stringMember(settings, "gateway");
    intMember(settings, "netmask", conf.prefixLength, conf);
    if (!v4 && conf.dns2.empty()) conf.dns2 = qf::kIpv6DefaultDns;
    readContainerList(request["lxclist"], family, conf);
    conf.verifyGatewayGiven = request.isMember(qf::kVerifyGatewayMember);
    const Json::Value& verify = request[qf::kVerifyGatewayMember];
    if (verify.isIntegral() && verify.isInt()) conf.verifyGatewaySec = verify.asInt();
    return conf;
}

std::string netConfProblem(const NetConfRequest& conf) {
    if (!conf.unreadable.empty()) return conf.unreadable;
    for (const std::string* text :
         {&conf.idc, &conf.socIp, &conf.address, &conf.gateway, &conf.dns1, &conf.dns2}) {
        if (!isPlainText(*text)) return "a value holds a control character or is not UTF-8";
    }
    const bool v6 = conf.ipType == 1;
    const int family = v6 ? AF_INET6 : AF_INET;
    const std::string familyName = v6 ? "IPv6" : "IPv4";
    if (!isAddress(family, conf.address)) return "address is not an " + familyName + " address";
    if (!isHostAddress(family, conf.address))
        return "address " + conf.address + " cannot be an interface's address";
    if (!isAddress(family, conf.gateway)) return "gateway is not an " + familyName + " address";
    if (!isHostAddress(family, conf.gateway))
        return "gateway " + conf.gateway + " cannot be a gateway";
    for (const std::string* dns : {&conf.dns1, &conf.dns2}) {
        if (!dns->empty() && !isAnyAddress(*dns)) return "a name server is not an IP address";
    }
    const int maxPrefix = v6 ? 128 : 32;
    if (conf.prefixLength < 1 || conf.prefixLength > maxPrefix) {
        return "netmask is not a prefix length from 1 to " + std::to_string(maxPrefix);
    }
    // The host information file is a line of key=value pairs joined by commas.
    if (conf.idc.find_first_of(",=") != std::string::npos) return "idc holds ',' or '='";
    if (!isAnyAddress(conf.socIp)) return "soc_ip is not an IP address";
    if (std::string problem = containersProblem(conf); !problem.empty()) return problem;
    return verifyGatewayProblem(conf);
}

std::string containersProblem(const NetConfRequest& conf) {
    if (!conf.unreadable.empty()) return conf.unreadable;
    for (const Container& c : conf.containers) {
        if (!isPlainText(c.mac) || !isPlainText(c.ip))
            return "a value holds a control character or is not UTF-8";
    }
    const bool v6 = conf.ipType == 1;
    const int family = v6 ? AF_INET6 : AF_INET;
    for (std::size_t i = 0; i < conf.containers.size(); ++i) {
        // A null entry holds an unused slot; any other needs both values.
        if (i < conf.unusedSlots.size() && conf.unusedSlots[i]) continue;
        const Container& c = conf.containers[i];
        const std::string which = "container " + std::to_string(i + 1);
        if (!isMacAddress(c.mac)) return which + ": mac is not a MAC address";
        if (!isAddress(family, c.ip))
            return which + (v6 ? ": no IPv6 address" : ": no IPv4 address");
        if (!isHostAddress(family, c.ip)) return which + ": it cannot be an interface's address";
    }
    return std::string();
}

std::string verifyGatewayProblem(const NetConfRequest& conf) {
    if (!conf.verifyGatewayGiven || (conf.verifyGatewaySec >= qf::kVerifyGatewayMinSec &&
                                     conf.verifyGatewaySec <= qf::kVerifyGatewayMaxSec))
        return std::string();
    return std::string(qf::kVerifyGatewayMember) + " is not a whole number of seconds from " +
           std::to_string(qf::kVerifyGatewayMinSec) + " to " +
           std::to_string(qf::kVerifyGatewayMaxSec);
}
