// SPDX-License-Identifier: Apache-2.0
#include "netconf/apply.h"

#include "core/atomic_file.h"
#include "core/constants.h"
#include "core/log.h"
#include "ipconfig/generate_ip_config.h"
#include "netconf/host_files.h"
#include "netconf/host_network.h"
#include "netconf/in_force.h"
#include "protocol/net_conf_request.h"

namespace {

bool generateIpConfig(const std::string& path, const std::string& address,
                      const NetConfRequest& conf, std::optional<mode_t> mode, FileBatch& batch) {
    return GenerateIpConfig(path.c_str(), address, conf.gateway, conf.dns1, conf.dns2,
                            qf::kInterfaceName, conf.prefixLength, conf.ipType)
        .GenerateIpConfigFunc(mode, &batch);
}

// The host information file alone.
Status writeHostInfo(BoardContext& board, const NetConfRequest& conf) {
    const bool written = saveHostInfo(board.paths, conf.idc, conf.socIp, conf.podId);
    board.net.placed(written ? hostInfoText(conf.idc, conf.socIp, conf.podId) : std::string());
    return Status::written(written);
}

// The container files of the request's list, as one batch; none without a list.
Status writeContainers(BoardContext& board, const NetConfRequest& conf) {
    const BoardPaths& paths = board.paths;
    std::string error;
    if (!makeBoardFolder(paths.lxcDir, qf::kLxcDirMode, error)) logWriteFailure(error);
    // Without a list the containers' files stay as they are, and nothing is lost when the
    // folder cannot be made.
    if (!conf.containersGiven) return Status();
    FileBatch batch;
    bool written = true;
    for (std::size_t i = 0; i < conf.containers.size(); ++i) {
        const Container& c = conf.containers[i];
        const std::string number = std::to_string(i + 1);
        const auto file = [&paths, &number](const char* kind) {
            return paths.lxcDir + kind + number;
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
    board.net.containersWritten(conf.containers, written);
    return Status::written(written);
}

}  // namespace

Status applyNetConf(BoardContext& board, const NetConfRequest& conf) {
    FileBatch hostFiles;
    bool written = saveHostInfo(board.paths, conf.idc, conf.socIp, conf.podId, &hostFiles);
    board.net.applying(conf);
    written = generateIpConfig(board.paths.hostIpConfigFile, conf.address, conf, qf::kOptFileMode,
                               hostFiles) &&
              written;
    written = commitFiles(hostFiles) && written;
    board.net.placed(written ? hostInfoText(conf.idc, conf.socIp, conf.podId) : std::string());
    const Status restarted = setIpConfig(board, qf::kInterfaceName, conf.address, conf.gateway,
                                         conf.prefixLength, conf.dns1, conf.dns2);
    written = writeContainers(board, conf).ok() && written;
    board.net.applied(written && restarted.ok());
    return written ? restarted : Status::written(false);
}

Status applyInForce(BoardContext& board, const NetConfRequest& conf) {
    const InForce before = readInForce(board.paths.inForceFile);
    if (const Status marked = markChanging(board, before, conf.containersGiven); !marked.ok())
        return marked;
    if (const Status applied = applyNetConf(board, conf); !applied.ok()) return applied;
    const Status recorded = recordInForce(board, appliedInForce(conf, before));
    if (!recorded.ok()) board.net.applied(false);
    return recorded;
}

Status clearInForce(BoardContext& board) {
    const InForce before = readInForce(board.paths.inForceFile);
    if (const Status marked = markChanging(board, before, false); !marked.ok()) return marked;
    if (const Status cleared = clearNetConf(board); !cleared.ok()) return cleared;
    InForce cleared;
    cleared.lxclist = before.lxclist;  // the container files stay
    return recordInForce(board, cleared);
}

Status markChanging(BoardContext& board, const InForce& before, bool containersChange) {
    InForce changing;
    changing.state = InForce::State::Unknown;
    if (!containersChange) changing.lxclist = before.lxclist;
    const Status recorded = recordInForce(board, changing);
    if (!recorded.ok())
        logLine(
            "[QuillFerry] set_net_conf not carried out: what is in force could not be recorded");
    return recorded;
}

Status recordInForce(BoardContext& board, const InForce& now) {
    return Status::written(writeInForce(board.paths.stateDir, board.paths.inForceFile, now));
}

Status refreshPlacement(BoardContext& board, const NetConfRequest& conf) {
    const bool hostChanged =
        hostInfoText(conf.idc, conf.socIp, conf.podId) != board.net.hostInfoInForce();
    const bool containersChanged =
        conf.containersGiven && !board.net.containersInForce(conf.containers);
    if (!hostChanged && !containersChanged) {
        logLine("ip config not changed, ingore!");
        return Status();
    }
    logLine(
        "[QuillFerry] ip config not changed; rewriting the host information and container files");
    const InForce before = readInForce(board.paths.inForceFile);
    if (const Status marked = markChanging(board, before, containersChanged); !marked.ok())
        return marked;
    bool written = !hostChanged || writeHostInfo(board, conf).ok();
    if (containersChanged) written = writeContainers(board, conf).ok() && written;
    if (written && recordInForce(board, appliedInForce(conf, before)).ok()) return Status();
    // Not known to be in force: the same request is applied again, and recorded then.
    board.net.applied(false);
    return Status::written(false);
}
