// SPDX-License-Identifier: Apache-2.0
// A file that secures a line (a key, a certificate, a known hosts file), read once by the
// client: a regular file only (a FIFO or a device there is refused, never waited on),
// bounded, and held in memory. Libraries that only open paths get the held copy as a
// memory file (/proc/self/fd/N), so that nothing they read can block the loop or change
// under them.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <ctime>
#include <string>

#include "core/unique_fd.h"

namespace qfclient {

// No key, certificate bundle or known hosts file of an operator comes near this.
inline constexpr std::size_t kMaxHeldFileBytes = std::size_t{16} * 1024 * 1024;

struct HeldFile {
    std::string path;   // as named
    std::string bytes;  // its contents
    bool missing = false;
    // What identifies this version of the file: device, inode, size, change time.
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec changed{};
};

// Reads `path` whole. False, with `error` (naming the file), when it cannot be read, is not
// a regular file or is larger than kMaxHeldFileBytes; a file that does not exist is an
// error too, unless `mayBeMissing` (then `missing` is set and the contents are empty).
bool holdFile(const std::string& path, HeldFile& file, std::string& error,
              bool mayBeMissing = false);

// Whether `path` is still the version `file` holds (nothing read but its status).
bool sameVersion(const std::string& path, const HeldFile& file);

// A memory file holding `bytes`, for a library that opens a path (memoryFilePath()).
// Invalid, with errno, when none can be made.
UniqueFd memoryFile(const std::string& bytes);
std::string memoryFilePath(const UniqueFd& fd);

}  // namespace qfclient
