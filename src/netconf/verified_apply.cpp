// SPDX-License-Identifier: Apache-2.0
#include "netconf/verified_apply.h"

#include <chrono>
#include <string>
#include <vector>

#include "core/constants.h"
#include "core/log.h"
#include "netconf/apply.h"
#include "netconf/file_snapshot.h"
#include "netconf/gateway_check.h"
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

// ifdown, every file as it was, ifup again (not after a clear, which left eth0 down).
bool putBack(const BoardContext& board, const FileSnapshot& snapshot) {
    const BoardPaths& paths = board.paths;
    // Down with the failed configuration, whatever ifupdown counts as up.
    const ChildOutcome down = ifdownForced(paths, board.ifupTimeout);
    bool back = snapshot.restore() && !down.timedOut && !down.lost;
    // A clear left eth0 down, with an interface file that gives it no address.
    const bool cleared =
        snapshot.bytesOf(paths.interfacesFile) == joinLines(clearedInterfaceLines());
    if (!cleared) back = ifup(paths, board.ifupTimeout).succeeded() && back;
    return back;
}

bool gatewayAnswersOnEth0(const BoardContext& board, const std::string& gateway,
                          std::chrono::milliseconds limit, std::string& detail) {
    return board.gatewayCheck ? board.gatewayCheck(gateway, limit, detail)
                              : gatewayAnswers(qf::kInterfaceName, gateway, limit, detail);
}

}  // namespace

SetOutcome applyVerified(BoardContext& board, const NetConfRequest& conf,
                         const NetworkState& before) {
    FileSnapshot snapshot;
    std::string error;
    if (!snapshot.take(filesOfApply(board.paths, conf), qf::kSnapshotBudget, error)) {
        logLine("[QuillFerry] set_net_conf not carried out: %s cannot be kept to put it back",
                visible(error).c_str());
        return {Status::written(false)};
    }
    const InForce inForce = readInForce(board.paths.inForceFile);
    if (const Status marked = markChanging(board, inForce, conf.containersGiven); !marked.ok())
        return {marked};

    const char* check = qf::kGatewayNotChecked;
    const Status applied = applyNetConf(board, conf);
    if (applied.ok()) {
        std::string detail;
        const Clock::time_point started = Clock::now();
        const bool answered = gatewayAnswersOnEth0(
            board, conf.gateway, std::chrono::seconds(conf.verifyGatewaySec), detail);
        if (answered) {
            logLine("[QuillFerry] gateway %s checked on eth0 in %lld ms: %s", conf.gateway.c_str(),
                    msSince(started), visible(detail).c_str());
            const Status recorded = recordInForce(board, appliedInForce(conf, inForce));
            if (!recorded.ok()) board.net.applied(false);
            return {recorded, qf::kGatewayAnswered};
        }
        logLine(
            "[QuillFerry] gateway %s did not answer on eth0 within %d s (%s): putting the "
            "previous configuration back",
            conf.gateway.c_str(), conf.verifyGatewaySec, visible(detail).c_str());
        check = qf::kGatewaySilent;
    } else {
        logLine("[QuillFerry] the configuration failed (%d): putting the previous one back",
                applied.retVal());
    }
    const Clock::time_point putBackStarted = Clock::now();
    if (!putBack(board, snapshot)) {
        logLine(
            "[QuillFerry] the previous configuration could not be put back (%lld ms): what is in "
            "force is unknown",
            msSince(putBackStarted));
        return {Status(qf::kRetNotPutBack), check};
    }
    board.net = before;
    // Should it not be recorded, "unknown" stays: less than the truth, but never a lie.
    (void)recordInForce(board, inForce);
    logLine("[QuillFerry] the previous configuration is back (%lld ms)", msSince(putBackStarted));
    return {Status(qf::kRetPutBack), check};
}
