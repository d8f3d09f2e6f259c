// The daemon's files on the board: the one way it replaces, reads, removes and creates them.
//
// A file is replaced by writing a temporary file beside it, flushing it to disk, renaming it
// over the target and flushing the folder: a reader sees the old content or the new one,
// never a short or empty file, and so does the board after a power cut.
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

// Replaces `path` with `bytes`. The new file gets `mode` when given, otherwise the mode of
// the file it replaces, otherwise the process's default creation mode; an existing file's
// owner is kept where the process may keep it. The old file is untouched on failure.
bool writeFileAtomic(const std::string& path, std::string_view bytes, std::optional<mode_t> mode,
                     std::string& error);

// Reads the whole file into `out`, at most `cap` bytes (a larger file yields its first `cap`).
bool readBoardFile(const std::string& path, std::size_t cap, std::string& out, std::string& error);

// Removes the file (a symlink there is removed itself, not its target). True when it is gone,
// also when there was none.
bool removeBoardFile(const std::string& path, std::string& error);

// Creates the folder with `mode` (subject to the umask) unless something already stands there.
bool makeBoardFolder(const std::string& path, mode_t mode, std::string& error);
