#include "netconf/net_conf_request.h"

#include <arpa/inet.h>

#include <cctype>

#include "core/constants.h"

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

bool hasControlCharacter(const std::string& text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) return true;
    }
    return false;
}

// An IP literal of `family`, judged on the whole text: inet_pton alone stops at a zero byte.
bool isAddress(int family, const std::string& text) {
    unsigned char buf[16];
    return text.find('\0') == std::string::npos && inet_pton(family, text.c_str(), buf) == 1;
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

void readContainers(const Json::Value& lxclist, const char* family, NetConfRequest& conf) {
    conf.containersGiven = lxclist.isArray();
    if (!conf.containersGiven) return;
    for (const Json::Value& entry : lxclist) {
        Container c;
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

}  // namespace

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
    readContainers(request["lxclist"], family, conf);
    return conf;
}

std::string netConfProblem(const NetConfRequest& conf) {
    if (!conf.unreadable.empty()) return conf.unreadable;
    std::vector<const std::string*> texts = {&conf.idc,     &conf.socIp, &conf.address,
                                             &conf.gateway, &conf.dns1,  &conf.dns2};
    for (const Container& c : conf.containers) texts.insert(texts.end(), {&c.mac, &c.ip});
    for (const std::string* text : texts) {
        if (hasControlCharacter(*text)) return "a value holds a control character";
    }
    const bool v6 = conf.ipType == 1;
    const int family = v6 ? AF_INET6 : AF_INET;
    const std::string familyName = v6 ? "IPv6" : "IPv4";
    if (!isAddress(family, conf.address)) return "address is not an " + familyName + " address";
    if (!isAddress(family, conf.gateway)) return "gateway is not an " + familyName + " address";
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
    for (const Container& c : conf.containers) {
        if (!c.mac.empty() && !isMacAddress(c.mac)) return "a container's mac is not a MAC address";
        if (!c.ip.empty() && !isAddress(family, c.ip))
            return "a container's address is not an " + familyName + " address";
    }
    return std::string();
}
