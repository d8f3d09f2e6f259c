// SPDX-License-Identifier: Apache-2.0
#include "protocol/in_force_shape.h"

#include <cstdlib>
#include <string>

#include "protocol/net_conf_request.h"

namespace {

const char* familyOf(std::uint8_t ipType) {
    return ipType == 1 ? "ipv6" : "ipv4";
}

}  // namespace

Json::Value inForceConfiguration(const NetConfRequest& conf) {
    Json::Value c(Json::objectValue);
    Json::Value& addresses = c[familyOf(conf.ipType)];
    addresses["address"] = conf.address;
    addresses["gateway"] = conf.gateway;
    addresses["netmask"] = conf.prefixLength;
    Json::Value& nameservers = c["nameservers"] = Json::Value(Json::arrayValue);
    for (const std::string* dns : {&conf.dns1, &conf.dns2}) {
        if (!dns->empty()) nameservers.append(*dns);
    }
    Json::Value& location = c["location"];
    location["idc"] = conf.idc;
    location["soc_ip"] = conf.socIp;
    // The decimal text of a 32-bit number, as read from the request.
    location["pod_id"] = static_cast<int>(std::strtol(conf.podId.c_str(), nullptr, 10));
    return c;
}

Json::Value inForceContainers(const NetConfRequest& conf) {
    Json::Value list(Json::arrayValue);
    for (std::size_t i = 0; i < conf.containers.size(); ++i) {
        if (i < conf.unusedSlots.size() && conf.unusedSlots[i]) {
            list.append(Json::Value());
            continue;
        }
        Json::Value entry(Json::objectValue);
        entry["mac"] = conf.containers[i].mac;
        entry[familyOf(conf.ipType)] = conf.containers[i].ip;
        list.append(entry);
    }
    return list;
}
