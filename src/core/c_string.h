// SPDX-License-Identifier: Apache-2.0
// Text as the board's C interfaces take it: what a zero byte ends.
#pragma once

#include <string>

// `text` up to its first zero byte (all of it when it has none). Only for text that is read
// as a C string (a request line, the record file, a sysfs value), never for a value that
// must be judged whole.
inline std::string upToZeroByte(std::string text) {
    text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
    return text;
}
