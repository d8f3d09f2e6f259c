// SPDX-License-Identifier: Apache-2.0
// The daemon's files on the board: the one way it replaces, reads, removes and creates them.
// quillferry-ctl replaces its --output file the same way.
//
// A file is replaced by writing a temporary file beside it, flushing it to disk, renaming it
// over the target and flushing the folder: a reader sees the old content or the new one,
// never a short or empty file, and so does the board after a power cut. Files that change
// together (a request's container files) go in one FileBatch: written first, made durable
// together (one flush of the file system), renamed, then each folder flushed once, so that
// their cost on flash does not grow with two flushes per file.
//
// Paths are resolved by resolvePath (core/safe_path.h): a symlink is followed only when
// root made it. Only regular files are read or replaced: a FIFO, device, socket or folder
// where a file belongs is left alone (and opening it never blocks). Every failure comes back
// as false with `error` saying what and why, ready for the log.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/unique_fd.h"

// Files replaced together. Each file fails or succeeds on its own: one that cannot be staged
// or put in place leaves its old content and the others go on.
class FileBatch {
public:
    FileBatch() = default;
    // Removes the temporary files of what was not committed.
    ~FileBatch();
    FileBatch(const FileBatch&) = delete;
    FileBatch& operator=(const FileBatch&) = delete;

    // Writes `bytes` for `path` to a temporary file beside it. The new file gets `mode` when
    // given, otherwise the mode of the file it replaces, otherwise the process's default
    // creation mode; an existing file's owner is kept where the process may keep it. False with
    // `error` when it cannot be staged (nothing of it is left then).
    bool add(const std::string& path, std::string_view bytes, std::optional<mode_t> mode,
             std::string& error);

    // Appends `bytes` to the staged file of `path` (added, not yet committed): a file written
    // piece by piece as its content comes. False with `error` when it cannot be written; the
    // file is discarded then, and its old content stays.
    bool append(const std::string& path, std::string_view bytes, std::string& error);

    // Makes the staged files durable, puts them in place and flushes their folders. True when
    // every staged file is in place and its folder flushed; otherwise `errors` says which
    // were not and why.
    bool commit(std::vector<std::string>& errors);

private:
    struct Staged {
        std::string path;
        UniqueFd dir;  // O_PATH, of the folder that holds it
        std::string name;
        std::string tmp;
        UniqueFd fd;  // the temporary file, open until it is flushed
    };
    void discard(Staged& s);

    std::vector<Staged> staged_;
};

// Replaces `path` with `bytes`: a batch of one file (see FileBatch::add for the mode). The old
// file is untouched on failure.
bool writeFileAtomic(const std::string& path, std::string_view bytes, std::optional<mode_t> mode,
                     std::string& error);

// Reads the whole file into `out`, at most `cap` bytes (a larger file yields its first `cap`),
// and its permission bits into `mode` when given. On failure errno is ENOENT only when the
// file (or a folder on its way) is missing.
bool readBoardFile(const std::string& path, std::size_t cap, std::string& out, std::string& error,
                   mode_t* mode = nullptr);

// Removes the files (a symlink there is removed itself, not its target) and flushes their
// folders, each once, so that the removals are on disk. True when every file is gone for good,
// also one that was gone already; otherwise `errors` says which and why.
bool removeBoardFiles(const std::vector<std::string>& paths, std::vector<std::string>& errors);

// Creates the folder with `mode` (subject to the umask) unless something already stands there.
bool makeBoardFolder(const std::string& path, mode_t mode, std::string& error);
