#include "netconf/net_conf_request.h"

#include <arpa/inet.h>

#include "core/constants.h"

namespace {

bool isJsonObject(const Json::Value& value) {
    return value.type() == Json::objectValue;
}

std::string stringMember(const Json::Value& object, const char* name) {
    const Json::Value& v = object[name];
    return v.isString() ? v.asString() : std::string();
}

// Reads an integral member as a signed 32-bit number; a number beyond that range cannot be
// a prefix length or a pod number.
bool intMember(const Json::Value& object, const char* name, int& out, std::string& unreadable) {
    const Json::Value& v = object[name];
    if (!v.isIntegral()) return false;
    if (!v.isInt()) {
        if (unreadable.empty()) unreadable = std::string(name) + " is out of range";
        return false;
    }
    out = v.asInt();
    return true;
}

bool isAddress(int family, const std::string& text) {
    unsigned char buf[16];
    return inet_pton(family, text.c_str(), buf) == 1;
}

}  // namespace

bool memberText(const Json::Value& value, std::string& text) {
    if (value.isArray() || value.isObject()) return false;
    text = value.asString();
    return true;
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
    if (intMember(location, "pod_id", pod, conf.unreadable)) conf.podId = std::to_string(pod);

    const Json::Value& nameservers = request["nameservers"];
    for (Json::ArrayIndex i = 0; i < 2; ++i) {
        std::string& target = i == 0 ? conf.dns1 : conf.dns2;
        if (i < nameservers.size() && !memberText(nameservers[i], target) &&
            conf.unreadable.empty()) {
            conf.unreadable = "a name server is not a text";
        }
    }

    const bool v4 = isJsonObject(request["ipv4"]);
    conf.ipType = v4 ? 0 : 1;
    const Json::Value& family = request[v4 ? "ipv4" : "ipv6"];
    conf.address = stringMember(family, "address");
    conf.gateway = stringMember(family, "gateway");
    intMember(family, "netmask", conf.prefixLength, conf.unreadable);
    if (!v4 && conf.dns2.empty()) conf.dns2 = qf::kIpv6DefaultDns2;
    return conf;
}

std::string netConfProblem(const NetConfRequest& conf, const Json::Value& lxclist) {
    if (!conf.unreadable.empty()) return conf.unreadable;
    const bool v6 = conf.ipType == 1;
    const int family = v6 ? AF_INET6 : AF_INET;
    const char* familyName = v6 ? "IPv6" : "IPv4";
    if (!isAddress(family, conf.address))
        return std::string("address is not an ") + familyName + " address";
    if (!isAddress(family, conf.gateway))
        return std::string("gateway is not an ") + familyName + " address";
    for (const std::string* dns : {&conf.dns1, &conf.dns2}) {
        if (!dns->empty() && !isAddress(AF_INET, *dns) && !isAddress(AF_INET6, *dns)) {
            return "a name server is not an IP address";
        }
    }
    const int maxPrefix = v6 ? 128 : 32;
    if (conf.prefixLength < 1 || conf.prefixLength > maxPrefix) {
        return "netmask is not a prefix length from 1 to " + std::to_string(maxPrefix);
    }
    if (lxclist.isArray()) {
        std::string ignored;
        for (const Json::Value& entry : lxclist) {
            if (!entry.isObject() && !entry.isNull()) return "a container entry is not an object";
            if (!memberText(entry["mac"], ignored) ||
                !memberText(entry[v6 ? "ipv6" : "ipv4"], ignored)) {
                return "a container member is not a text";
            }
        }
    }
    return std::string();
}
