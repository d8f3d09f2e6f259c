#include <cstdio>

#include "core/constants.h"
#include "core/log.h"
#include "core/platform.h"
#include "core/util.h"

namespace {

// The remembered "set_net_conf" request, or null. A record file that we did not write (not
// an object, or a record that is not an object) counts as no record.
Json::Value rememberedRequest(const Json::Value& records) {
    if (!records.isObject()) return Json::Value();
    const Json::Value& request = records[qf::kCmdSetNetConf];
    return request.isObject() ? request : Json::Value();
}

}  // namespace

void Platform::doGetNetConf(const Json::Value& request, Uart& uart) {
    Json::Value reply = replyEnvelope(request, 0);
    reply["method"] = "static";

    const Json::Value remembered = rememberedRequest(readCmdRecords());
    getDns();

    Json::Value& nameservers = reply["nameservers"] = Json::Value(Json::arrayValue);
    if (!dns1.empty()) nameservers.append(dns1);
    if (!dns2.empty()) nameservers.append(dns2);

    getIpv4Mac(qf::kInterfaceName);
    if (ipType == 0) {
        getIpv4Addr(qf::kInterfaceName);
        getIpv4NetMask(qf::kInterfaceName);
    } else {
        getIpAddr(qf::kInterfaceName);
    }

    if (netConfState != 2 && !remembered.isNull()) {
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
                netConfState = 2;
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

    reply["mac"] = macAddr;
    for (std::size_t i = 0; i < lxcMacList.size(); ++i) {
        Json::Value entry(Json::objectValue);
        entry["mac"] = lxcMacList[i];
        const std::string& ip = i < lxcIpList.size() ? lxcIpList[i] : std::string();
        entry[netConfState == 2 || ipType == 0 ? "ipv4" : "ipv6"] = ip;
        reply["lxclist"].append(entry);
    }

    const std::string text = sendReply(uart, reply);
    if (getDebugFlag()) logLine("[QuillFerry] Do Get Net Configuration Data:%s", text.c_str());
}
