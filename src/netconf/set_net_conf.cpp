#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "core/constants.h"
#include "core/platform.h"
#include "core/util.h"
#include "ipconfig/generate_ip_config.h"
#include "netconf/host_files.h"
#include "netconf/net_conf_request.h"

namespace {

void doSetNetConfFailed(const Json::Value& request, Uart& uart) {
    const std::string text = sendReply(uart, replyEnvelope(request, -1));
    std::fprintf(stderr, "[QuillFerry] Do Set NetWork Configuration Failed And Response Data:%s\n",
                 text.c_str());
}

void generateIpConfig(const std::string& path, const std::string& address,
                      const NetConfRequest& conf, std::uint8_t ipType) {
    GenerateIpConfig(path.c_str(), address, conf.gateway, conf.dns1, conf.dns2, qf::kInterfaceName,
                     conf.prefixLength, ipType)
        .GenerateIpConfigFunc();
}

}  // namespace

void Platform::doSetNetConf(const Json::Value& request, Uart& uart) {
    // Every request is remembered, complete or not, before anything else happens.
    writeCmd2File(request);

    int retVal = 0;
    if (hasNetConfShape(request)) {
        const NetConfRequest conf = readNetConfRequest(request);
        ipType = conf.ipType;
        std::fprintf(stderr, "[QuillFerry] Do Set NetWork Configuration Data:\n");
        std::fprintf(stderr,
                     "[QuillFerry] idc:%s, soc_ip:%s, pod_id:%s, ipAddr:%s, gateWay:%s, "
                     "netMask:%d, dns1:%s, "
                     "dns2:%s\n",
                     conf.idc.c_str(), conf.socIp.c_str(), conf.podId.c_str(), conf.address.c_str(),
                     conf.gateway.c_str(), conf.prefixLength, conf.dns1.c_str(), conf.dns2.c_str());

        const Json::Value& lxclist = request["lxclist"];
        if (conf.isClear()) {
            ipAddr.clear();
            gateWay.clear();
            dns1.clear();
            dns2.clear();
            netMask = 0;
            retVal = clearNetConf();
        } else if (!conf.isComplete()) {
            doSetNetConfFailed(request, uart);
            return;
        } else if (const std::string problem = netConfProblem(conf, lxclist); !problem.empty()) {
            // The address and gateway end up in lines that ifupdown runs as root, and the
            // interface goes down before it comes up: a bad value must change nothing.
            std::fprintf(stderr, "[QuillFerry] set_net_conf rejected: %s\n", problem.c_str());
            doSetNetConfFailed(request, uart);
            return;
        } else if (netConfState == 1 && conf.address == ipAddr && conf.gateway == gateWay &&
                   conf.prefixLength == static_cast<int>(netMask) && conf.dns1 == dns1 &&
                   conf.dns2 == dns2) {
            std::fprintf(stderr, "ip config not changed, ingore!\n");
        } else {
            retVal = applyNetConf(conf, lxclist);
        }
    }

    const std::string text = sendReply(uart, replyEnvelope(request, retVal));
    if (getDebugFlag()) {
        std::cout << "Netcfg res:" << text << std::endl;
        std::fprintf(stderr,
                     "[QuillFerry] Do Set NetWork Configuration Done And Response Data:%s\n",
                     text.c_str());
    }
}

int Platform::applyNetConf(const NetConfRequest& conf, const Json::Value& lxclist) {
    saveHostInfo(conf.idc, conf.socIp, conf.podId);
    ipAddr = conf.address;
    gateWay = conf.gateway;
    netMask = static_cast<std::uint8_t>(conf.prefixLength);
    dns1 = conf.dns1;
    dns2 = conf.dns2;

    generateIpConfig(qf::kHostIpConfigFile, conf.address, conf, ipType);
    ::chmod(qf::kHostIpConfigFile, qf::kOptFileMode);

    const int retVal = setIpConfig(qf::kInterfaceName, conf.address, conf.gateway,
                                   conf.prefixLength, conf.dns1, conf.dns2);
    netConfState = 1;

    if (::access(qf::kLxcDir, F_OK) != 0) ::mkdir(qf::kLxcDir, qf::kLxcDirMode);
    if (lxclist.isArray()) {
        lxcMacList.clear();
        lxcIpList.clear();
        Json::ArrayIndex n = 0;
        for (const Json::Value& entry : lxclist) {
            ++n;
            std::string mac;
            std::string ip;
            memberText(entry["mac"], mac);
            memberText(entry[ipType == 1 ? "ipv6" : "ipv4"], ip);
            lxcMacList.push_back(mac);
            lxcIpList.push_back(ip);
            const std::string number = std::to_string(n);
            const auto containerFile = [&number](const char* kind) {
                return std::string(qf::kLxcDir).append(kind).append(number);
            };
            saveFile(containerFile("mac_").c_str(), mac.data(), static_cast<int>(mac.size()));
            saveFile(containerFile("ip_").c_str(), ip.data(), static_cast<int>(ip.size()));
            generateIpConfig(containerFile("ipconfig_"), ip, conf, ipType);
        }
    }
    return retVal;
}
