// SPDX-License-Identifier: Apache-2.0
// The file that --output names, replaced whole: what the command writes goes to a temporary
// file beside it, which is flushed and renamed over it once the command has run, so that a
// reader (a metrics collector) sees the old text or the new one, never a part, and after a
// power cut too. A command that fails without results removes the old file instead, so that
// nothing stale stays as if fresh.
#pragma once

#include <string>
#include <string_view>

#include "core/unique_fd.h"

class OutputFile {
public:
    // Stages a temporary file beside `path`; ok() tells whether that worked.
    explicit OutputFile(std::string path);
    // Removes the temporary file unless it was committed.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // False, with error(), once anything failed.
    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    // Appends `bytes` to the temporary file.
    bool write(std::string_view bytes);
    // Flushes the temporary file, renames it over the path and flushes the folder.
    bool commit();

private:
    void fail(const std::string& what);

    std::string path_;
    std::string temp_;
    UniqueFd fd_;
    bool committed_ = false;
    std::string error_;
};

// Removes the file at `path` when it is a regular file or a symlink (the link itself); a
// FIFO, device, socket or folder there is left alone. True when nothing of the kind is left
// there; false with `error` otherwise.
bool removeOutput(const std::string& path, std::string& error);
