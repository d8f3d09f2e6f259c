// SPDX-License-Identifier: Apache-2.0
#include <cstdio>

#include "core/constants.h"
#include "core/log.h"
#include "core/platform.h"
#include "core/reply.h"
#include "netconf/in_force.h"
#include "query/live_addresses.h"

namespace {

// The remembered "set_net_conf" request, or null. A record file that we did not write (not
// an object, or a record that is not an object) counts as no record.
Json::Value rememberedRequest(const Json::Value& records) {
    if (!records.isObject()) return Json::Value();
    const Json::Value& request = records[qf::kCmdSetNetConf];
    return request.isObject() ? request : Json::Value();
}

}  // namespace

Answer Platform::netConf(const Json::Value& request) {
    Json::Value reply = replyEnvelope(request, 0);
    reply["method"] = "static";

    const Json::Value remembered = rememberedRequest(readCmdRecords());

    Json::Value& nameservers = reply["nameservers"] = Json::Value(Json::arrayValue);
    if (!net_.dns1().empty()) nameservers.append(net_.dns1());
    if (!net_.dns2().empty()) nameservers.append(net_.dns2());

    // The probes refresh eth0's MAC address and, for IPv4, the address and prefix that the
    // next set_net_conf compares with: it is skipped only while eth0 really carries them.
    getIpv4Mac(qf::kInterfaceName);
    if (net_.ipType() == 0) {
        getIpv4Addr(qf::kInterfaceName);
        getIpv4NetMask(qf::kInterfaceName);
    }

    if (net_.netConfState() != 2 && !remembered.isNull()) {
        // Shared by both families and not reset between them.
        std::string address;
        std::string gateway;
        std::uint8_t prefix = 0;
        for (const char* family : {"ipv4", "ipv6"}) {
            if (!remembered.isMember(family)) continue;
            logLine("[QuillFerry] get_netconf has %s", family);
            // A member of another kind than object is reported with the working values.
            const Json::Value& settings = remembered[family];
            if (settings.isObject()) {
                if (settings["address"].isString()) address = settings["address"].asString();
                if (settings["gateway"].isString()) gateway = settings["gateway"].asString();
                if (settings["netmask"].isUInt())
                    prefix = static_cast<std::uint8_t>(settings["netmask"].asUInt());
            }
            if (address == "clear" || gateway == "clear") {
                // After a restart the record is the only trace of a clear.
                net_.rememberedClear();
                address = "clear";
                gateway = "clear";
                prefix = 0;
            }
            Json::Value& out = reply[family];
            out["address"] = address;
            out["netmask"] = prefix;
            out["gateway"] = gateway;
        }
    }

    reply["mac"] = net_.macAddr();
    const char* family = net_.netConfState() == 2 || net_.ipType() == 0 ? "ipv4" : "ipv6";
    for (const Container& c : net_.containers()) {
        Json::Value entry(Json::objectValue);
        entry["mac"] = c.mac;
        entry[family] = c.ip;
        reply["lxclist"].append(entry);
    }
    // Asked for: what is in force and what eth0 carries now. Anything but true gets the
    // reply as it always was.
    const Json::Value& asked = request[qf::kInForceMember];
    if (asked.isBool() && asked.asBool()) {
        reply[qf::kInForceMember] = inForceReply(readInForce(paths().inForceFile));
        reply["live"] = liveAddresses(qf::kInterfaceName);
    }
    return {reply, {nullptr, "[QuillFerry] Do Get Net Configuration Data:%s", false}};
}
