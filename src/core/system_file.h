// SPDX-License-Identifier: Apache-2.0
// Small system files (sysfs, /proc): read without blocking, only when they are regular files,
// at most 256 bytes, cut at the first zero byte.
#pragma once

#include <string>
#include <unordered_map>

#include "core/unique_fd.h"

// The text of a small system file; false when it cannot be opened or read.
bool readSystemFile(const char* path, std::string& text);

// The same, empty when the file cannot be read.
std::string getInfoFromFile(const char* path);

// The files read on every status request (thermal zones, cpufreq): kept open and read again
// from the start, which makes sysfs produce a fresh value without the cost of looking the
// path up and opening it each time.
class InfoFileCache {
public:
    // getInfoFromFile(path). A file that was removed or replaced since the last read is
    // opened afresh; a missing one is looked for again on every read.
    std::string read(const std::string& path);

private:
    std::unordered_map<std::string, UniqueFd> files_;
};
