// SPDX-License-Identifier: Apache-2.0
#include "netconf/file_snapshot.h"

#include <cerrno>

#include "core/atomic_file.h"
#include "core/log.h"
#include "netconf/host_files.h"

bool FileSnapshot::take(const std::vector<std::string>& paths, std::size_t budget,
                        std::string& error) {
    files_.clear();
    for (const std::string& path : paths) {
        File file{path, std::string(), 0};
        // One byte past the budget tells a file that does not fit.
        if (!readBoardFile(path, budget + 1, *file.bytes, error, &file.mode)) {
            if (errno != ENOENT) return false;
            file.bytes.reset();
        } else if (file.bytes->size() > budget) {
            error = path + ": the files to put back would take more than " +
                    std::to_string(budget) + " bytes more";
            return false;
        } else {
            budget -= file.bytes->size();
        }
        files_.push_back(std::move(file));
    }
    return true;
}

std::optional<std::string> FileSnapshot::bytesOf(const std::string& path) const {
    for (const File& file : files_) {
        if (file.path == path) return file.bytes;
    }
    return std::nullopt;
}

bool FileSnapshot::restore() const {
    FileBatch batch;
    std::vector<std::string> missing;
    bool restored = true;
    for (const File& file : files_) {
        std::string error;
        if (!file.bytes) {
            missing.push_back(file.path);
        } else if (!batch.add(file.path, *file.bytes, file.mode, error)) {
            logWriteFailure(error);
            restored = false;
        }
    }
    restored = commitFiles(batch) && restored;
    std::vector<std::string> errors;
    if (!removeBoardFiles(missing, errors)) {
        for (const std::string& error : errors)
            logLine("[QuillFerry] cannot remove %s", error.c_str());
        restored = false;
    }
    return restored;
}
