// SPDX-License-Identifier: Apache-2.0
// "set_net_conf" with "verify_gateway": an apply after which the gateway must answer on
// eth0's link, or else the configuration in force before is put back.
#include <chrono>
#include <string>
#include <vector>

#include "core/constants.h"
#include "core/log.h"
#include "core/platform.h"
#include "netconf/file_snapshot.h"
#include "netconf/host_network.h"
#include "netconf/in_force.h"
#include "protocol/net_conf_request.h"

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Every file that applying `conf` replaces.
std::vector<std::string> filesOfApply(const BoardPaths& paths, const NetConfRequest& conf) {
    std::vector<std::string> files = {paths.interfacesFile, paths.resolvConf, paths.hostInfoFile,
                                      paths.hostIpConfigFile};
    if (!conf.containersGiven) return files;
    for (std::size_t n = 1; n <= conf.containers.size(); ++n) {
        for (const char* kind : {"mac_", "ip_", "ipconfig_"})
            files.push_back(paths.lxcDir + kind + std::to_string(n));
    }
    return files;
}

}  // namespace

Platform::SetOutcome Platform::applyVerified(const NetConfRequest& conf,
                                             const NetworkState& before) {
    FileSnapshot snapshot;
    std::string error;
    if (!snapshot.take(filesOfApply(paths_, conf), qf::kSnapshotBudget, error)) {
        logLine("[QuillFerry] set_net_conf not carried out: %s cannot be kept to put it back",
                visible(error).c_str());
        return {qf::kRetWriteFailed};
    }
    const InForce inForce = readInForce(paths_.inForceFile);
    if (!markChanging(inForce, conf.containersGiven)) return {qf::kRetWriteFailed};

    const char* check = qf::kGatewayNotChecked;
    const int applied = applyNetConf(conf);
    if (applied == 0) {
        std::string detail;
        const Clock::time_point started = Clock::now();
        const bool answered =
            gatewayCheck_(conf.gateway, std::chrono::seconds(conf.verifyGatewaySec), detail);
        if (answered) {
            logLine("[QuillFerry] gateway %s checked on eth0 in %lld ms: %s", conf.gateway.c_str(),
                    msSince(started), visible(detail).c_str());
            if (recordInForce(appliedInForce(conf, inForce))) return {0, qf::kGatewayAnswered};
            net_.applied(false);
            return {qf::kRetWriteFailed, qf::kGatewayAnswered};
        }
        logLine(
            "[QuillFerry] gateway %s did not answer on eth0 within %d s (%s): putting the "
            "previous configuration back",
            conf.gateway.c_str(), conf.verifyGatewaySec, visible(detail).c_str());
        check = qf::kGatewaySilent;
    } else {
        logLine("[QuillFerry] the configuration failed (%d): putting the previous one back",
                applied);
    }
    const Clock::time_point putBackStarted = Clock::now();
    if (!putBack(snapshot)) {
        logLine(
            "[QuillFerry] the previous configuration could not be put back (%lld ms): what is in "
            "force is unknown",
            msSince(putBackStarted));
        return {qf::kRetNotPutBack, check};
    }
    net_ = before;
    // Should it not be recorded, "unknown" stays: less than the truth, but never a lie.
    recordInForce(inForce);
    logLine("[QuillFerry] the previous configuration is back (%lld ms)", msSince(putBackStarted));
    return {qf::kRetPutBack, check};
}

bool Platform::putBack(const FileSnapshot& snapshot) {
    // Down with the failed configuration, whatever ifupdown counts as up.
    const ChildOutcome down = ifdownForced(paths_, ifupTimeout_);
    bool back = snapshot.restore() && !down.timedOut && !down.lost;
    // A clear left eth0 down, with an interface file that gives it no address.
    const bool cleared =
        snapshot.bytesOf(paths_.interfacesFile) == joinLines(clearedInterfaceLines());
    if (!cleared) back = ifup(paths_, ifupTimeout_).succeeded() && back;
    return back;
}
