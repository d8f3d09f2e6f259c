#include <cstdio>

#include "core/atomic_file.h"
#include "core/constants.h"
#include "core/log.h"
#include "core/platform.h"
#include "core/util.h"
#include "ipconfig/generate_ip_config.h"
#include "netconf/host_files.h"
#include "netconf/net_conf_request.h"

namespace {

void doSetNetConfFailed(const Json::Value& request, Uart& uart) {
    const std::string text = sendReply(uart, replyEnvelope(request, qf::kRetRefused));
    logLine("[QuillFerry] Do Set NetWork Configuration Failed And Response Data:%s", text.c_str());
}

bool generateIpConfig(const std::string& path, const std::string& address,
                      const NetConfRequest& conf, std::optional<mode_t> mode) {
    return GenerateIpConfig(path.c_str(), address, conf.gateway, conf.dns1, conf.dns2,
                            qf::kInterfaceName, conf.prefixLength, conf.ipType)
        .GenerateIpConfigFunc(mode);
}

bool sameAddresses(const NetConfRequest& conf, const Platform& p) {
    return conf.address == p.ipAddr && conf.gateway == p.gateWay &&
           conf.prefixLength == static_cast<int>(p.netMask) && conf.dns1 == p.dns1 &&
           conf.dns2 == p.dns2;
}

}  // namespace

void Platform::doSetNetConf(const Json::Value& request, Uart& uart) {
    // Every request is remembered, complete or not, before anything else happens.
    writeCmd2File(request);

    if (!hasNetConfShape(request)) {
        logLine(
            "[QuillFerry] set_net_conf rejected: it needs an ipv4 or ipv6 object, a "
            "location object and a nameservers array");
        doSetNetConfFailed(request, uart);
        return;
    }
    const NetConfRequest conf = readNetConfRequest(request);
    ipType = conf.ipType;
    logLine("[QuillFerry] Do Set NetWork Configuration Data:");
    logLine(
        "[QuillFerry] idc:%s, soc_ip:%s, pod_id:%s, ipAddr:%s, gateWay:%s, "
        "netMask:%d, dns1:%s, dns2:%s",
        conf.idc.c_str(), conf.socIp.c_str(), conf.podId.c_str(), conf.address.c_str(),
        conf.gateway.c_str(), conf.prefixLength, conf.dns1.c_str(), conf.dns2.c_str());

    int retVal = 0;
    if (conf.isClear()) {
        ipAddr.clear();
        gateWay.clear();
        dns1.clear();
        dns2.clear();
        netMask = 0;
        configInForce = false;
        hostInfoInForce.clear();
        retVal = clearNetConf();
    } else if (!conf.isComplete()) {
        doSetNetConfFailed(request, uart);
        return;
    } else if (const std::string problem = netConfProblem(conf); !problem.empty()) {
        // The values end up in lines that ifupdown runs as root, and the interface goes down
        // before it comes up: a bad value must change nothing.
        logLine("[QuillFerry] set_net_conf rejected: %s", problem.c_str());
        doSetNetConfFailed(request, uart);
        return;
    } else if (netConfState == 1 && configInForce && sameAddresses(conf, *this)) {
        retVal = refreshPlacement(conf);
    } else {
        retVal = applyNetConf(conf);
    }

    const std::string text = sendReply(uart, replyEnvelope(request, retVal));
    if (getDebugFlag()) {
        logOutput("Netcfg res:%s", text.c_str());
        logLine("[QuillFerry] Do Set NetWork Configuration Done And Response Data:%s",
                text.c_str());
    }
}

int Platform::applyNetConf(const NetConfRequest& conf) {
    bool written = saveHostInfo(conf.idc, conf.socIp, conf.podId);
    hostInfoInForce = written ? hostInfoText(conf.idc, conf.socIp, conf.podId) : std::string();
    ipAddr = conf.address;
    gateWay = conf.gateway;
    netMask = static_cast<std::uint8_t>(conf.prefixLength);
    dns1 = conf.dns1;
    dns2 = conf.dns2;

    written =
        generateIpConfig(qf::kHostIpConfigFile, conf.address, conf, qf::kOptFileMode) && written;
    const int restarted = setIpConfig(qf::kInterfaceName, conf.address, conf.gateway,
                                      conf.prefixLength, conf.dns1, conf.dns2);
    netConfState = 1;
    written = writeContainers(conf) && written;
    configInForce = written && restarted == 0;
    return written ? restarted : qf::kRetWriteFailed;
}

int Platform::refreshPlacement(const NetConfRequest& conf) {
    const std::string hostInfo = hostInfoText(conf.idc, conf.socIp, conf.podId);
    const bool hostChanged = hostInfo != hostInfoInForce;
    std::vector<Container> inForce;
    for (std::size_t i = 0; i < lxcMacList.size() && i < lxcIpList.size(); ++i)
        inForce.push_back({lxcMacList[i], lxcIpList[i]});
    const bool containersChanged =
        conf.containersGiven && (!containersInForce || conf.containers != inForce);
    if (!hostChanged && !containersChanged) {
        logLine("ip config not changed, ingore!");
        return 0;
    }
    logLine(
        "[QuillFerry] ip config not changed; rewriting the host information and "
        "container files");
    bool written = true;
    if (hostChanged) {
        written = saveHostInfo(conf.idc, conf.socIp, conf.podId);
        hostInfoInForce = written ? hostInfo : std::string();
    }
    if (containersChanged) written = writeContainers(conf) && written;
    return written ? 0 : qf::kRetWriteFailed;
}

bool Platform::writeContainers(const NetConfRequest& conf) {
    std::string error;
    bool written = makeBoardFolder(qf::kLxcDir, qf::kLxcDirMode, error);
    if (!written) logWriteFailure(error);
    // Without a list nothing is lost when the folder cannot be made.
    if (!conf.containersGiven) return true;
    lxcMacList.clear();
    lxcIpList.clear();
    for (std::size_t i = 0; i < conf.containers.size(); ++i) {
        const Container& c = conf.containers[i];
        lxcMacList.push_back(c.mac);
        lxcIpList.push_back(c.ip);
        const std::string number = std::to_string(i + 1);
        const auto file = [&number](const char* kind) {
            return std::string(qf::kLxcDir).append(kind).append(number);
        };
        written =
            saveFile(file("mac_").c_str(), c.mac.data(), static_cast<int>(c.mac.size())) && written;
        written =
            saveFile(file("ip_").c_str(), c.ip.data(), static_cast<int>(c.ip.size())) && written;
        written = generateIpConfig(file("ipconfig_"), c.ip, conf, std::nullopt) && written;
    }
    containersInForce = written;
    return written;
}
