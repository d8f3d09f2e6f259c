// SPDX-License-Identifier: Apache-2.0
#include "core/platform_qcom.h"

#include "core/constants.h"

std::string PlatformQcom::getCpuModel() {
    return qf::kCpuModel;
}
