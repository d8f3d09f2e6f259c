// SPDX-License-Identifier: Apache-2.0
// Small system files (sysfs, /proc): read without blocking, only when they are regular files,
// at most 256 bytes, cut at the first zero byte.
#pragma once

#include <string>
#include <unordered_map>

#include "core/constants.h"
#include "core/unique_fd.h"

// The text of a small system file; false when it cannot be opened or read.
bool readSystemFile(const char* path, std::string& text);

// The same, empty when the file cannot be read.
std::string getInfoFromFile(const char* path);

// The files read on every status request (thermal zones, cpufreq): kept open and read again
// from the start, which makes sysfs produce a fresh value without the cost of looking the
// path up and opening it each time. A file that cannot be opened or read (a board without
// some thermal zones) is looked for again only once `retryMs` have passed, not on every read.
class InfoFileCache {
public:
    explicit InfoFileCache(int retryMs = qf::kMissingSourceRetryMs) : retryMs_(retryMs) {}

    // getInfoFromFile(path). A file that was removed or replaced since the last read is
    // opened afresh.
    std::string read(const std::string& path);

private:
    struct Source {
        UniqueFd fd;
        long long retryAtMs = 0;  // while it has no descriptor: when to look for it again
    };
    int retryMs_;
    std::unordered_map<std::string, Source> files_;
};

// How each status source failed at its last reading, so that a failure is logged when it
// begins or changes rather than on every request (a board without some thermal zones would
// otherwise log a dozen lines per status request).
class SourceFailures {
public:
    // Notes that `source` failed with `text`: true when that is news (it read well before, or
    // failed otherwise).
    bool failed(const std::string& source, const std::string& text);
    // Notes that `source` gave a reading.
    void readWell(const std::string& source) {
        if (!last_.empty()) last_.erase(source);
    }

private:
    std::unordered_map<std::string, std::string> last_;
};
