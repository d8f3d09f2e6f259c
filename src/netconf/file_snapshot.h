// SPDX-License-Identifier: Apache-2.0
// The files an apply is about to replace, as they were (their bytes and mode, or their
// absence), so that a failed apply can put every one of them back.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

class FileSnapshot {
public:
    // Reads each file whole, all of them together within `budget` bytes. False, with
    // `error`, when one cannot be: something other than a regular file at its place, a file
    // that cannot be read, or more than the budget. A missing file is taken as missing.
    bool take(const std::vector<std::string>& paths, std::size_t budget, std::string& error);

    // The bytes `path` held, or nothing when it was missing (or is not in the snapshot).
    std::optional<std::string> bytesOf(const std::string& path) const;

    // Puts every file back as it was: those that were there replaced in one batch with their
    // bytes and mode, those that were missing removed. False when one could not be (logged).
    bool restore() const;

private:
    struct File {
        std::string path;
        std::optional<std::string> bytes;  // none: it was missing
        mode_t mode = 0;
    };
    std::vector<File> files_;
};
