// SPDX-License-Identifier: Apache-2.0
#include "core/settings.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/constants.h"

std::chrono::seconds ifupTimeout(const char* value, bool& valid) {
    valid = true;
    if (value == nullptr) return std::chrono::seconds(qf::kDefaultIfupTimeoutSec);
    char* end = nullptr;
    errno = 0;
    const long seconds = std::strtol(value, &end, 10);
    valid = errno == 0 && end != value && *end == '\0' && seconds >= 1 &&
            seconds <= qf::kMaxIfupTimeoutSec && std::isdigit(static_cast<unsigned char>(*value));
    return std::chrono::seconds(valid ? seconds : qf::kDefaultIfupTimeoutSec);
}

std::string dnsSearchDomain(const char* value) {
    if (value == nullptr || *value == '\0' || std::strlen(value) > 253)
        return qf::kDefaultDnsSearch;
    for (const char* p = value; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (std::isalnum(c) == 0 && c != '-' && c != '.') return qf::kDefaultDnsSearch;
    }
    return value;
}
