// Small system files that are read on every status request (thermal zones, cpufreq): kept
// open and read again from the start, which makes sysfs produce a fresh value without the
// cost of looking the path up and opening it each time.
#pragma once

#include <string>
#include <unordered_map>

#include "core/unique_fd.h"

class InfoFileCache {
public:
    // The same text as getInfoFromFile(path): up to 256 bytes, cut at the first zero byte,
    // empty when the file cannot be read. A file that was removed or replaced since the
    // last read is opened afresh; a missing one is looked for again on every read.
    std::string read(const std::string& path);

private:
    std::unordered_map<std::string, UniqueFd> files_;
};
