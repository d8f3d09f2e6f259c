// SPDX-License-Identifier: Apache-2.0
#include "core/system_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/c_string.h"
#include "core/constants.h"
#include "core/fd_io.h"

namespace {

// Reads the file from its start in one call (sysfs hands out a whole value per read); false
// when the descriptor no longer serves the file (a removed sysfs attribute reads ENODEV, a
// deleted file has no links left).
bool readFromStart(int fd, std::string& text) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_nlink == 0) return false;
    char buf[qf::kInfoFileMax];
    ssize_t n = 0;
    do {
        n = ::pread(fd, buf, sizeof(buf), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return false;
    text = upToZeroByte(std::string(buf, static_cast<std::size_t>(n)));
    return true;
}

}  // namespace

bool readSystemFile(const char* path, std::string& text) {
    text.clear();
    const UniqueFd fd = openRegularFile(path);
    return fd.valid() && readFromStart(fd.get(), text);
}

std::string getInfoFromFile(const char* path) {
    std::string text;
    readSystemFile(path, text);
    return text;
}

std::string InfoFileCache::read(const std::string& path) {
    std::string text;
    Source& source = files_[path];
    if (source.fd.valid()) {
        if (readFromStart(source.fd.get(), text)) return text;
        // Removed or replaced: opened afresh below, at once.
        source.fd.reset();
    } else if (monotonicMs() < source.retryAtMs) {
        return text;
    }
    source.fd = openRegularFile(path.c_str());
    if (source.fd.valid() && readFromStart(source.fd.get(), text)) return text;
    source.fd.reset();
    source.retryAtMs = monotonicMs() + retryMs_;
    text.clear();
    return text;
}

bool SourceFailures::failed(const std::string& source, const std::string& text) {
    const auto [it, added] = last_.try_emplace(source, text);
    if (added) return true;
    if (it->second == text) return false;
    it->second = text;
    return true;
}
