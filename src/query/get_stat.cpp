#include <algorithm>
#include <cstdio>

#include "core/constants.h"
#include "core/log.h"
#include "core/platform_qcom.h"
#include "core/util.h"
#include "query/board_readings.h"

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

int getCpuPwrLmt(InfoFileCache& files, const char* cpu0File, const char* cpu4File,
                 const char* cpu7File) {
    struct Cluster {
        const char* file;
        const char* error;
        long top;
    };
    const Cluster clusters[] = {{cpu0File, "get cpu0 error: %s", qf::kCpu0TopFreq},
                                {cpu4File, "get cpu4 error: %s", qf::kCpu4TopFreq},
                                {cpu7File, "get cpu7 error: %s", qf::kCpu7TopFreq}};
    bool allTop = true;
    for (const Cluster& c : clusters) {
        const std::string text = files.read(c.file);
        int freq = 0;
        if (!text.empty() && !parseLeadingInt(text, freq)) {
            logLine(c.error, text.c_str());
        }
        if (freq != c.top) allTop = false;
    }
    return allTop ? 100 : 0;
}

void PlatformQcom::doGetStat(const Json::Value& request, Uart& uart) {
    Json::Value reply = replyEnvelope(request, 0);
    static const std::vector<std::string> zones(std::begin(qf::kThermalZoneFiles),
                                                std::end(qf::kThermalZoneFiles));
    reply["cpu_temp"] = static_cast<Json::UInt>(getCpuTemp(statusFiles_, zones));
    reply["cpu_pwr_lmt"] = static_cast<Json::UInt>(
        getCpuPwrLmt(statusFiles_, qf::kCpu0FreqFile, qf::kCpu4FreqFile, qf::kCpu7FreqFile));
    reply["netconf"] = getNetConf();
    const std::string text = sendReply(uart, reply);
    if (getDebugFlag()) {
        logOutput("doGetStat res:%s", text.c_str());
        logLine("Do Get Status Data:%s", text.c_str());
    }
}
