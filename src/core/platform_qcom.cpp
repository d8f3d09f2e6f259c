#include "core/platform_qcom.h"

#include "core/constants.h"

std::string PlatformQcom::getCpuModel() {
    return qf::kCpuModel;
}
