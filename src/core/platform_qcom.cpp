// SPDX-License-Identifier: Apache-2.0
#include "core/platform_qcom.h"

#include "core/constants.h"

std::string PlatformQcom::getCpuModel() {
    return qf::kCpuModel;
}

void PlatformQcom::doGetHwConf(const Json::Value& request, Uart& uart) {
    answer(uart, hwConfReply(request));
}

void PlatformQcom::doGetStat(const Json::Value& request, Uart& uart) {
    answer(uart, statReply(request));
}
