// SPDX-License-Identifier: Apache-2.0
// Where the board keeps what the daemon reads, writes and runs. The daemon always uses the
// defaults, the board's fixed paths of core/constants.h; nothing in it can change them. Tests
// give the same layout under a scratch folder (under()), so that the handlers' decisions run
// without a simulated board.
#pragma once

#include <string>
#include <vector>

#include "core/constants.h"

struct BoardPaths {
    // The debug marker's folder and file.
    std::string markerDir = qf::kMarkerDir;
    std::string markerFile = qf::kMarkerFile;
    // eth0's configuration and the programs that restart it.
    std::string interfacesFile = qf::kInterfacesFile;
    std::string resolvConf = qf::kResolvConf;
    std::string ifdownProgram = qf::kIfdownProgram;
    std::string ifupProgram = qf::kIfupProgram;
    // Files under /opt; the container folder with its trailing slash.
    std::string hostInfoFile = qf::kHostInfoFile;
    std::string hostIpConfigFile = qf::kHostIpConfigFile;
    std::string lxcDir = qf::kLxcDir;
    std::string cmdRecordFile = qf::kCmdRecordFile;
    // The daemon's own state: the configuration in force.
    std::string stateDir = qf::kStateDir;
    std::string inForceFile = qf::kInForceFile;
    // Status and hardware sources.
    std::vector<std::string> thermalZoneFiles{std::begin(qf::kThermalZoneFiles),
                                              std::end(qf::kThermalZoneFiles)};
    // One per entry of qf::kCpuClusters, in its order.
    std::vector<std::string> cpuFreqFiles = clusterFreqFiles();
    std::string gpuModelFile = qf::kGpuModelFile;
    std::string memInfoFile = qf::kMemInfoFile;
    std::string dataPath = qf::kDataPath;

    // The same layout with every path under `root`.
    static BoardPaths under(const std::string& root) {
        BoardPaths p;
        for (std::string* path :
             {&p.markerDir, &p.markerFile, &p.interfacesFile, &p.resolvConf, &p.ifdownProgram,
              &p.ifupProgram, &p.hostInfoFile, &p.hostIpConfigFile, &p.lxcDir, &p.cmdRecordFile,
              &p.stateDir, &p.inForceFile, &p.gpuModelFile, &p.memInfoFile, &p.dataPath})
            path->insert(0, root);
        for (std::string& path : p.thermalZoneFiles) path.insert(0, root);
        for (std::string& path : p.cpuFreqFiles) path.insert(0, root);
        return p;
    }

private:
    static std::vector<std::string> clusterFreqFiles() {
        std::vector<std::string> files;
        for (const qf::CpuCluster& c : qf::kCpuClusters) files.emplace_back(c.freqFile);
        return files;
    }
};
