#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "core/constants.h"
#include "core/log.h"
#include "core/platform_qcom.h"
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

int getCpuTemp(InfoFileCache& files, const std::vector<std::string>& zoneFiles) {
    bool any = false;
    int hottest = 0;
    for (const std::string& file : zoneFiles) {
        const std::string text = files.read(file);
        int value = 0;
        if (!parseLeadingInt(text, value)) {
            logLine("get temp error: %s", text.c_str());
            continue;
        }
        hottest = any ? std::max(hottest, value) : value;
        any = true;
    }
    return hottest;
}

int getCpuPwrLmt(InfoFileCache& files, const qf::CpuCluster (&clusters)[3]) {
    bool allTop = true;
    for (const qf::CpuCluster& c : clusters) {
        const std::string text = files.read(c.freqFile);
        int freq = 0;
        if (!text.empty() && !parseLeadingInt(text, freq)) {
            logLine("get %s error: %s", c.name, text.c_str());
        }
        if (freq != c.topFreq) allTop = false;
    }
    return allTop ? 100 : 0;
}

void PlatformQcom::doGetStat(const Json::Value& request, Uart& uart) {
    Json::Value reply = replyEnvelope(request, 0);
    static const std::vector<std::string> zones(std::begin(qf::kThermalZoneFiles),
                                                std::end(qf::kThermalZoneFiles));
    reply["cpu_temp"] = static_cast<Json::UInt>(getCpuTemp(statusFiles_, zones));
    reply["cpu_pwr_lmt"] = static_cast<Json::UInt>(getCpuPwrLmt(statusFiles_, qf::kCpuClusters));
    reply["netconf"] = getNetConf();
    answer(uart, reply, {"doGetStat res:%s", "Do Get Status Data:%s"});
}
