#include "query/info_file_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/constants.h"
#include "core/fd_io.h"

namespace {

// Reads the file from its start in one call (sysfs hands out a whole value per read); -1
// when the descriptor no longer serves the file (a removed sysfs attribute reads ENODEV, a
// deleted file has no links left).
ssize_t readFromStart(int fd, char* buf, std::size_t size) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_nlink == 0) return -1;
    ssize_t n = 0;
    do {
        n = ::pread(fd, buf, size, 0);
    } while (n < 0 && errno == EINTR);
    return n;
}

}  // namespace

std::string InfoFileCache::read(const std::string& path) {
    char buf[qf::kInfoFileMax];
    ssize_t got = -1;
    auto it = files_.find(path);
    if (it != files_.end()) {
        got = readFromStart(it->second.get(), buf, sizeof(buf));
        if (got < 0) files_.erase(it);
    }
    if (got < 0) {
        UniqueFd fd = openRegularFile(path.c_str());
        if (!fd.valid()) return std::string();
        got = readFromStart(fd.get(), buf, sizeof(buf));
        if (got < 0) return std::string();
        files_.emplace(path, std::move(fd));
    }
    std::size_t len = 0;
    while (len < static_cast<std::size_t>(got) && buf[len] != '\0') ++len;
    return std::string(buf, len);
}
