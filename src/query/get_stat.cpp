// SPDX-License-Identifier: Apache-2.0
#include "query/get_stat.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "core/constants.h"
#include "core/log.h"
#include "core/reply.h"
#include "query/board_readings.h"

bool parseLeadingInt(const std::string& text, int& value) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(begin, &end, 10);
    if (end == begin || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
    value = static_cast<int>(v);
    return true;
}

int getCpuTemp(InfoFileCache& files, SourceFailures& failures,
               const std::vector<std::string>& zoneFiles) {
    bool any = false;
    int hottest = 0;
    for (const std::string& file : zoneFiles) {
        const std::string text = files.read(file);
        int value = 0;
        if (!parseLeadingInt(text, value)) {
            if (failures.failed(file, text)) logLine("get temp error: %s", visible(text).c_str());
            continue;
        }
        failures.readWell(file);
        hottest = any ? std::max(hottest, value) : value;
        any = true;
    }
    return hottest;
}

int getCpuPwrLmt(InfoFileCache& files, SourceFailures& failures,
                 const std::vector<std::string>& freqFiles) {
    bool allTop = true;
    for (std::size_t i = 0; i < std::size(qf::kCpuClusters); ++i) {
        const qf::CpuCluster& c = qf::kCpuClusters[i];
        const std::string text = files.read(freqFiles.at(i));
        int freq = 0;
        const std::string& file = freqFiles.at(i);
        if (text.empty() || parseLeadingInt(text, freq)) {
            failures.readWell(file);
        } else if (failures.failed(file, text)) {
            logLine("get %s error: %s", c.name, visible(text).c_str());
        }
        if (freq != c.topFreq) allTop = false;
    }
    return allTop ? 100 : 0;
}

Handled handleGetStat(BoardContext& board, const Json::Value& request) {
    Json::Value reply = replyEnvelope(request, 0);
    reply["cpu_temp"] = static_cast<Json::UInt>(
        getCpuTemp(board.statusFiles, board.statusFailures, board.paths.thermalZoneFiles));
    reply["cpu_pwr_lmt"] = static_cast<Json::UInt>(
        getCpuPwrLmt(board.statusFiles, board.statusFailures, board.paths.cpuFreqFiles));
    reply["netconf"] = board.net.netConfState() != 0 ? 1 : 0;
    return Answer{reply, {"doGetStat res:%s", "Do Get Status Data:%s", false}};
}
