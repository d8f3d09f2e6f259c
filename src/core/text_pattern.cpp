// SPDX-License-Identifier: Apache-2.0
#include "core/text_pattern.h"

std::string strPatternReplace(const std::regex& pattern, const std::string& text,
                              const std::string& replacement) {
    return std::regex_replace(text, pattern, replacement);
}
