// SPDX-License-Identifier: Apache-2.0
#include "core/atomic_file.h"
#include "core/constants.h"
#include "core/log.h"
#include "core/platform.h"
#include "core/reply.h"
#include "ipconfig/generate_ip_config.h"
#include "netconf/host_files.h"
#include "netconf/in_force.h"
#include "protocol/net_conf_request.h"

namespace {

// A refusal is logged whatever the debug switch; anything else is echoed while it is on.
constexpr ReplyEcho kRefusedEcho{
    nullptr, "[QuillFerry] Do Set NetWork Configuration Failed And Response Data:%s", true};
constexpr ReplyEcho kDoneEcho{
    "Netcfg res:%s", "[QuillFerry] Do Set NetWork Configuration Done And Response Data:%s", false};

bool generateIpConfig(const std::string& path, const std::string& address,
                      const NetConfRequest& conf, std::optional<mode_t> mode, FileBatch& batch) {
    return GenerateIpConfig(path.c_str(), address, conf.gateway, conf.dns1, conf.dns2,
                            qf::kInterfaceName, conf.prefixLength, conf.ipType)
        .GenerateIpConfigFunc(mode, &batch);
}

}  // namespace

Answer Platform::setNetConf(const Json::Value& request) {
    SetOutcome outcome;
    // All of it runs aside: files are flushed and ifdown and ifup run while the loop still
    // answers the probe.
    runAside([&] { outcome = setNetConfResult(request); }, lineWait_);
    Json::Value reply = replyEnvelope(request, outcome.retVal);
    if (outcome.gatewayCheck != nullptr) reply[qf::kGatewayCheckMember] = outcome.gatewayCheck;
    return {reply, outcome.retVal == qf::kRetRefused ? kRefusedEcho : kDoneEcho};
}

Platform::SetOutcome Platform::setNetConfResult(const Json::Value& request) {
    // Every request is remembered, complete or not, before anything else happens.
    const bool recorded = writeCmd2File(request);

    if (!hasNetConfShape(request)) {
        logLine(
            "[QuillFerry] set_net_conf rejected: it needs an ipv4 or ipv6 object, a location "
            "object and a nameservers array");
        return {qf::kRetRefused};
    }
    const NetConfRequest conf = readNetConfRequest(request);
    // As it was before this request, for a verified apply to put back.
    const NetworkState before = net_;
    net_.chooseFamily(conf.ipType);
    logLine("[QuillFerry] Do Set NetWork Configuration Data:");
    logLine(
        "[QuillFerry] idc:%s, soc_ip:%s, pod_id:%s, ipAddr:%s, gateWay:%s, netMask:%d, dns1:%s, "
        "dns2:%s",
        visible(conf.idc).c_str(), visible(conf.socIp).c_str(), visible(conf.podId).c_str(),
        visible(conf.address).c_str(), visible(conf.gateway).c_str(), conf.prefixLength,
        visible(conf.dns1).c_str(), visible(conf.dns2).c_str());
    if (conf.verifyGatewayGiven) {
        const std::string problem =
            conf.isClear() ? "a clear has no gateway to check" : verifyGatewayProblem(conf);
        if (!problem.empty()) {
            logLine("[QuillFerry] set_net_conf rejected: %s", problem.c_str());
            return {qf::kRetRefused};
        }
    }

    SetOutcome outcome;
    if (conf.isClear()) {
        outcome.retVal = clearInForce();
    } else if (!conf.isComplete()) {
        return {qf::kRetRefused};
    } else if (const std::string problem = netConfProblem(conf); !problem.empty()) {
        // The values end up in lines that ifupdown runs as root, and the interface goes down
        // before it comes up: a bad value must change nothing.
        logLine("[QuillFerry] set_net_conf rejected: %s", visible(problem).c_str());
        return {qf::kRetRefused};
    } else if (net_.inForce(conf)) {
        outcome.retVal = refreshPlacement(conf);
    } else if (conf.verifyGatewayGiven) {
        outcome = applyVerified(conf, before);
    } else {
        outcome.retVal = applyInForce(conf);
    }
    // Nothing applied, nothing to check.
    if (conf.verifyGatewayGiven && outcome.gatewayCheck == nullptr)
        outcome.gatewayCheck = qf::kGatewayNotChecked;
    // get_net_conf reports the record: one that is not stored leaves it reporting another
    // request, so the request is not carried out in full.
    if (!recorded && outcome.retVal == 0) {
        net_.applied(false);
        outcome.retVal = qf::kRetWriteFailed;
    }
    return outcome;
}

int Platform::applyNetConf(const NetConfRequest& conf) {
    FileBatch hostFiles;
    bool written = saveHostInfo(conf.idc, conf.socIp, conf.podId, &hostFiles);
    net_.applying(conf);
    written = generateIpConfig(paths_.hostIpConfigFile, conf.address, conf, qf::kOptFileMode,
                               hostFiles) &&
              written;
    written = commitFiles(hostFiles) && written;
    net_.placed(written ? hostInfoText(conf.idc, conf.socIp, conf.podId) : std::string());
    const int restarted = setIpConfig(qf::kInterfaceName, conf.address, conf.gateway,
                                      conf.prefixLength, conf.dns1, conf.dns2);
    written = writeContainers(conf) && written;
    net_.applied(written && restarted == 0);
    return written ? restarted : qf::kRetWriteFailed;
}

int Platform::applyInForce(const NetConfRequest& conf) {
    const InForce before = readInForce(paths_.inForceFile);
    if (!markChanging(before, conf.containersGiven)) return qf::kRetWriteFailed;
    const int retVal = applyNetConf(conf);
    if (retVal != 0) return retVal;
    if (recordInForce(appliedInForce(conf, before))) return 0;
    net_.applied(false);
    return qf::kRetWriteFailed;
}

int Platform::clearInForce() {
    const InForce before = readInForce(paths_.inForceFile);
    if (!markChanging(before, false)) return qf::kRetWriteFailed;
    const int retVal = clearNetConf();
    if (retVal != 0) return retVal;
    InForce cleared;
    cleared.lxclist = before.lxclist;  // the container files stay
    return recordInForce(cleared) ? 0 : qf::kRetWriteFailed;
}

bool Platform::markChanging(const InForce& before, bool containersChange) {
    InForce changing;
    changing.state = InForce::State::Unknown;
    if (!containersChange) changing.lxclist = before.lxclist;
    if (recordInForce(changing)) return true;
    logLine("[QuillFerry] set_net_conf not carried out: what is in force could not be recorded");
    return false;
}

bool Platform::recordInForce(const InForce& now) {
    return writeInForce(paths_.stateDir, paths_.inForceFile, now);
}

int Platform::refreshPlacement(const NetConfRequest& conf) {
    const bool hostChanged =
        hostInfoText(conf.idc, conf.socIp, conf.podId) != net_.hostInfoInForce();
    const bool containersChanged = conf.containersGiven && !net_.containersInForce(conf.containers);
    if (!hostChanged && !containersChanged) {
        logLine("ip config not changed, ingore!");
        return 0;
    }
    logLine(
        "[QuillFerry] ip config not changed; rewriting the host information and container files");
    const InForce before = readInForce(paths_.inForceFile);
    if (!markChanging(before, containersChanged)) return qf::kRetWriteFailed;
    bool written = !hostChanged || writeHostInfo(conf);
    if (containersChanged) written = writeContainers(conf) && written;
    if (written && recordInForce(appliedInForce(conf, before))) return 0;
    // Not known to be in force: the same request is applied again, and recorded then.
    net_.applied(false);
    return qf::kRetWriteFailed;
}

bool Platform::writeHostInfo(const NetConfRequest& conf) {
    const bool written = saveHostInfo(conf.idc, conf.socIp, conf.podId);
    net_.placed(written ? hostInfoText(conf.idc, conf.socIp, conf.podId) : std::string());
    return written;
}

bool Platform::writeContainers(const NetConfRequest& conf) {
    std::string error;
    if (!makeBoardFolder(paths_.lxcDir, qf::kLxcDirMode, error)) logWriteFailure(error);
    // Without a list the containers' files stay as they are, and nothing is lost when the
    // folder cannot be made.
    if (!conf.containersGiven) return true;
    FileBatch batch;
    bool written = true;
    for (std::size_t i = 0; i < conf.containers.size(); ++i) {
        const Container& c = conf.containers[i];
        const std::string number = std::to_string(i + 1);
        const auto file = [this, &number](const char* kind) {
            return paths_.lxcDir + kind + number;
        };
        written =
            saveFile(file("mac_").c_str(), c.mac.data(), static_cast<int>(c.mac.size()), &batch) &&
            written;
        written =
            saveFile(file("ip_").c_str(), c.ip.data(), static_cast<int>(c.ip.size()), &batch) &&
            written;
        if (conf.unusedSlots[i]) {
            // An unused slot gets no configuration: a record of the defaults would give every
            // such slot the same address.
            const bool staged = batch.add(file("ipconfig_"), "", std::nullopt, error);
            if (!staged) logWriteFailure(error);
            written = staged && written;
        } else {
            written =
                generateIpConfig(file("ipconfig_"), c.ip, conf, std::nullopt, batch) && written;
        }
    }
    written = commitFiles(batch) && written;
    net_.containersWritten(conf.containers, written);
    return written;
}
