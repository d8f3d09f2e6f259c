// SPDX-License-Identifier: Apache-2.0
// The file that --output names, replaced whole through the one atomic writer
// (core/atomic_file): what the command writes goes to a temporary file beside it, which is
// flushed and renamed over it once the command has run, and its folder flushed, so that a
// reader (a metrics collector) sees the old text or the new one, never a part, and after a
// power cut too. A link on the way is followed only when root or the user running the
// command made it. A command that fails without results removes the old file instead, so that
// nothing stale stays as if fresh.
#pragma once

#include <string>
#include <string_view>

#include "core/atomic_file.h"

class OutputFile {
public:
    // Stages a temporary file beside `path`; ok() tells whether that worked.
    explicit OutputFile(std::string path);
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
    void fail(const std::string& why);

    std::string path_;
    FileBatch batch_;  // the file, until it is committed (its destructor removes it otherwise)
    std::string error_;
};

// Removes the file at `path` when it is a regular file or a symlink (the link itself); a
// FIFO, device, socket or folder there is left alone. True when nothing of the kind is left
// there; false with `error` otherwise.
bool removeOutput(const std::string& path, std::string& error);
