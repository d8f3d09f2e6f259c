// The one way the daemon replaces a file: write a temporary file beside it, flush it to
// disk, rename it over the target and flush the folder. A reader sees the old content or
// the new one, never a short or empty file, and so does the board after a power cut.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

// Replaces `path` with `bytes`. A symlink at `path` is followed, so its target is the file
// replaced, as a plain write would do. The new file gets `mode` when given, otherwise the
// mode of the file it replaces, otherwise the process's default creation mode; an existing
// file's owner is kept where the process may keep it.
// Returns false, with errno set and the old file untouched, when any step fails.
bool writeFileAtomic(const std::string& path, std::string_view bytes,
                     std::optional<mode_t> mode = std::nullopt);

// Reads the whole file into `out`, at most `cap` bytes. False when it cannot be opened or
// read; a file larger than `cap` yields its first `cap` bytes.
bool readFileCapped(const std::string& path, std::size_t cap, std::string& out);
