// SPDX-License-Identifier: Apache-2.0
#include "query/get_net_conf.h"

#include <cstdio>

#include "core/constants.h"
#include "core/log.h"
#include "core/reply.h"
#include "netconf/cmd_record_store.h"
#include "netconf/in_force.h"
#include "query/if_probes.h"
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

Handled handleGetNetConf(BoardContext& board, const Json::Value& request) {
    NetworkState& net = board.net;
    Json::Value reply = replyEnvelope(request, 0);
    reply["method"] = "static";

    const Json::Value remembered =
        rememberedRequest(readRecordSet(board.paths.cmdRecordFile.c_str()));

    Json::Value& nameservers = reply["nameservers"] = Json::Value(Json::arrayValue);
    if (!net.dns1().empty()) nameservers.append(net.dns1());
    if (!net.dns2().empty()) nameservers.append(net.dns2());

    // The probes refresh eth0's MAC address and, for IPv4, the address and prefix that the
    // next set_net_conf compares with: it is skipped only while eth0 really carries them.
    getIpv4Mac(net, qf::kInterfaceName);
    if (net.ipType() == 0) {
        getIpv4Addr(net, qf::kInterfaceName);
        getIpv4NetMask(net, qf::kInterfaceName);
    }

    if (net.netConfState() != 2 && !remembered.isNull()) {
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
                net.rememberedClear();
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

    reply["mac"] = net.macAddr();
    const char* family = net.netConfState() == 2 || net.ipType() == 0 ? "ipv4" : "ipv6";
    for (const Container& c : net.containers()) {
        Json::Value entry(Json::objectValue);
        entry["mac"] = c.mac;
        entry[family] = c.ip;
        reply["lxclist"].append(entry);
    }
    // Asked for: what is in force and what eth0 carries now. Anything but true gets the
    // reply as it always was.
    const Json::Value& asked = request[qf::kInForceMember];
    if (asked.isBool() && asked.asBool()) {
        reply[qf::kInForceMember] = inForceReply(readInForce(board.paths.inForceFile));
        reply["live"] = liveAddresses(qf::kInterfaceName);
    }
    return Answer{reply, {nullptr, "[QuillFerry] Do Get Net Configuration Data:%s", false}};
}
