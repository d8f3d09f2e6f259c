// SPDX-License-Identifier: Apache-2.0
// The general form of the reply compaction (strFixPatternTrim): named by the board's interface,
// called by nothing. Apart from core/reply.h so that <regex> reaches no handler.
#pragma once

#include <regex>
#include <string>

// `text` with every match of `pattern` replaced by `replacement` (std::regex_replace).
std::string strPatternReplace(const std::regex& pattern, const std::string& text,
                              const std::string& replacement);
