#include "core/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "core/unique_fd.h"

namespace {

std::string dirName(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string baseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Follows symlinks at `path` until a non-link (or a missing name) is reached, so that
// /etc/resolv.conf -> ../run/resolv.conf is replaced at its target.
bool resolveLinks(std::string& path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        char target[PATH_MAX];
        const ssize_t n = ::readlink(path.c_str(), target, sizeof(target) - 1);
        if (n < 0) return false;
        const std::string link(target, static_cast<std::size_t>(n));
        if (link.front() == '/') {
            path = link;
        } else {
            path = dirName(path).append("/").append(link);
        }
    }
    errno = ELOOP;
    return false;
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

bool writeFileAtomic(const std::string& requested, std::string_view bytes,
                     std::optional<mode_t> mode) {
    std::string path = requested;
    if (!resolveLinks(path)) return false;

    struct stat old {};
    const bool existed = ::stat(path.c_str(), &old) == 0;

    // One fixed temporary name per target: a crash leaves at most one stray file, and the
    // next write reuses the name.
    const std::string dir = dirName(path);
    const std::string tmp = dir + "/." + baseName(path) + ".quillferry-new";
    if (::unlink(tmp.c_str()) != 0 && errno != ENOENT) return false;

    // 0666 lets the umask decide the mode of a new file, as a plain creation would.
    UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd.valid()) return false;

    bool ok = writeAll(fd.get(), bytes);
    if (ok && existed) {
        // Failing to keep the owner (not root) is not a reason to refuse the write.
        if (::fchown(fd.get(), old.st_uid, old.st_gid) != 0 && errno != EPERM) ok = false;
    }
    if (ok && (mode || existed)) ok = ::fchmod(fd.get(), mode ? *mode : (old.st_mode & 07777)) == 0;
    if (ok) ok = ::fsync(fd.get()) == 0;
    if (ok) ok = ::close(fd.release()) == 0;
    if (ok) ok = ::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) {
        const int saved = errno;
        ::unlink(tmp.c_str());
        errno = saved;
        return false;
    }

    // The rename is durable only once the folder itself reaches the disk.
    UniqueFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.valid()) ::fsync(dirFd.get());
    return true;
}

bool readFileCapped(const std::string& path, std::size_t cap, std::string& out) {
    out.clear();
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return false;
    char chunk[4096];
    while (out.size() < cap) {
        const std::size_t want = std::min(sizeof(chunk), cap - out.size());
        const ssize_t n = ::read(fd.get(), chunk, want);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        out.append(chunk, static_cast<std::size_t>(n));
    }
    return true;
}
