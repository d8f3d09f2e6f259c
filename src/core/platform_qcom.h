// The QCS8250 board.
#pragma once

#include "core/platform.h"
#include "core/system_file.h"

class PlatformQcom : public Platform {
public:
    PlatformQcom() = default;
    ~PlatformQcom() override = default;

    std::string getCpuModel() override;
    void doGetHwConf(const Json::Value& request, Uart& uart) override;
    void doGetStat(const Json::Value& request, Uart& uart) override;

private:
    // The thermal zone and cpufreq files, open between status requests.
    InfoFileCache statusFiles_;
};
