// SPDX-License-Identifier: Apache-2.0
#include "client/held_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "core/fd_io.h"
#include "quillferry/reply.h"

namespace qfclient {

bool holdFile(const std::string& path, HeldFile& file, std::string& error, bool mayBeMissing) {
    file = HeldFile();
    file.path = path;
    const std::string shown = "'" + escapeBytes(path) + "'";
    if (path.find('\0') != std::string::npos) {
        error = shown + " holds a zero byte";
        return false;
    }
    const UniqueFd fd = openRegularFile(path.c_str());
    if (!fd.valid()) {
        if (errno == ENOENT && mayBeMissing) {
            file.missing = true;
            return true;
        }
        error = "cannot read " + shown + ": " +
                (errno == EINVAL ? std::string("not a regular file") : std::strerror(errno));
        return false;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !readUpTo(fd.get(), kMaxHeldFileBytes + 1, file.bytes)) {
        error = "cannot read " + shown + ": " + std::strerror(errno);
        return false;
    }
    if (file.bytes.size() > kMaxHeldFileBytes) {
        error = shown + " is larger than " + std::to_string(kMaxHeldFileBytes) + " bytes";
        file.bytes = std::string();
        return false;
    }
    file.device = st.st_dev;
    file.inode = st.st_ino;
    file.size = st.st_size;
    file.changed = st.st_ctim;
    return true;
}

bool sameVersion(const std::string& path, const HeldFile& file) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return file.missing && errno == ENOENT;
    return !file.missing && S_ISREG(st.st_mode) && st.st_dev == file.device &&
           st.st_ino == file.inode && st.st_size == file.size &&
           st.st_ctim.tv_sec == file.changed.tv_sec && st.st_ctim.tv_nsec == file.changed.tv_nsec;
}

UniqueFd memoryFile(const std::string& bytes) {
    UniqueFd fd(::memfd_create("quillferry-held", MFD_CLOEXEC));
    if (!fd.valid()) return fd;
    if (!writeAll(fd.get(), bytes) || ::lseek(fd.get(), 0, SEEK_SET) != 0) {
        const int err = errno;
        fd.reset();
        errno = err;
    }
    return fd;
}

std::string memoryFilePath(const UniqueFd& fd) {
    return "/proc/self/fd/" + std::to_string(fd.get());
}

}  // namespace qfclient
