// SPDX-License-Identifier: Apache-2.0
// What every command handler works on: the board's paths, the network state that the
// commands leave behind, the settings given at start-up, and the status sources kept open
// between requests. The platform object holds the daemon's one; a test makes its own over a
// scratch folder (BoardPaths::under).
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <utility>

#include "core/board_paths.h"
#include "core/constants.h"
#include "core/network_state.h"
#include "core/system_file.h"

// How a verified apply checks that the gateway answers within a time limit; `detail` says
// what was seen.
using GatewayCheck = std::function<bool(const std::string& gateway, std::chrono::milliseconds limit,
                                        std::string& detail)>;

struct BoardContext {
    explicit BoardContext(BoardPaths boardPaths = {}) : paths(std::move(boardPaths)) {}

    const BoardPaths paths;
    NetworkState net;
    // The site's DNS search domain written into the interface and resolver files, and the
    // time limit of ifdown and ifup.
    std::string dnsSearch = qf::kDefaultDnsSearch;
    std::chrono::milliseconds ifupTimeout{std::chrono::seconds(qf::kDefaultIfupTimeoutSec)};
    // The gateway check of "verify_gateway"; empty: the kernel's neighbour resolution on eth0
    // (netconf/gateway_check.h). Tests stand in for it.
    GatewayCheck gatewayCheck;
    // The thermal zone and cpufreq files, open between status requests, and how they failed
    // at the last one, so that a failure is logged once per change.
    InfoFileCache statusFiles;
    SourceFailures statusFailures;
};
