// SPDX-License-Identifier: Apache-2.0
// The QCS8250 board: its status and hardware answers.
#pragma once

#include "core/platform.h"
#include "core/system_file.h"
#include "query/board_readings.h"

class PlatformQcom : public Platform {
public:
    explicit PlatformQcom(BoardPaths paths = {}, WaitForFd lineWait = waitForFdOnly)
        : Platform(std::move(paths), std::move(lineWait)) {}
    ~PlatformQcom() override = default;

    // --- platform_qcom.cpp ---
    std::string getCpuModel() override;
    void doGetHwConf(const Json::Value& request, Uart& uart) override;
    void doGetStat(const Json::Value& request, Uart& uart) override;

    // --- the answers (query/get_stat.cpp, query/get_hw_conf.cpp) ---
    Answer statReply(const Json::Value& request);
    Answer hwConfReply(const Json::Value& request);

private:
    // The thermal zone and cpufreq files, open between status requests.
    InfoFileCache statusFiles_;
    // How they failed at the last request, so that a failure is logged once per change.
    SourceFailures statusFailures_;
};
