// SPDX-License-Identifier: Apache-2.0
#include "core/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "core/fd_io.h"
#include "core/safe_path.h"
#include "core/unique_fd.h"

namespace {

bool failErrno(std::string& error, const std::string& what) {
    error = what + ": " + std::strerror(errno);
    return false;
}

std::string typeName(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "not a regular file";
}

// What stands at the resolved name: false when it is something other than a regular file.
// `exists` tells a missing file apart.
bool regularOrMissing(const ResolvedPath& r, const std::string& path, struct stat& st, bool& exists,
                      std::string& error) {
    exists = ::fstatat(r.dir.get(), r.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno != ENOENT) return failErrno(error, path);
    if (exists && !S_ISREG(st.st_mode)) {
        error = path + " is " + typeName(st.st_mode) + ", not a regular file";
        errno = EINVAL;  // not ENOENT: it is there
        return false;
    }
    return true;
}

// The folders that a batch or a removal changed, each once (by device and inode), flushed
// together at the end.
class ChangedFolders {
public:
    // Notes the folder of `dir` (an O_PATH descriptor); returns its number.
    std::size_t add(int dir) {
        struct stat st {};
        if (::fstat(dir, &st) != 0) {
            folders_.push_back(
                {0, 0, -1, std::string("its folder cannot be examined: ") + std::strerror(errno)});
            return folders_.size() - 1;
        }
        for (std::size_t f = 0; f < folders_.size(); ++f) {
            if (folders_[f].dev == st.st_dev && folders_[f].ino == st.st_ino) return f;
        }
        folders_.push_back({st.st_dev, st.st_ino, dir, std::string()});
        return folders_.size() - 1;
    }

    // Flushes every folder noted; for each, why it could not be flushed (empty: flushed).
    // The descriptors noted must still be open.
    std::vector<std::string> flush() {
        std::vector<std::string> failures;
        for (const Folder& folder : folders_) {
            std::string failure = folder.failure;
            if (failure.empty()) {
                // Opened for real: an O_PATH descriptor cannot be flushed.
                const UniqueFd fd(::openat(folder.dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
                if (!fd.valid() || ::fsync(fd.get()) != 0)
                    failure = std::string("its folder cannot be flushed: ") + std::strerror(errno);
            }
            failures.push_back(std::move(failure));
        }
        return failures;
    }

private:
    struct Folder {
        dev_t dev;
        ino_t ino;
        int dir;
        std::string failure;  // known before the flush
    };
    std::vector<Folder> folders_;
};

}  // namespace

FileBatch::~FileBatch() {
    for (Staged& s : staged_) discard(s);
}

void FileBatch::discard(Staged& s) {
    s.fd.reset();
    if (s.dir.valid()) ::unlinkat(s.dir.get(), s.tmp.c_str(), 0);
    s.dir.reset();
}

bool FileBatch::add(const std::string& path, std::string_view bytes, std::optional<mode_t> mode,
                    std::string& error) {
    ResolvedPath r;
    if (!resolvePath(path, r, error)) return false;
    struct stat old {};
    bool existed = false;
    if (!regularOrMissing(r, path, old, existed, error)) return false;

    // One fixed temporary name per target: a crash leaves at most one stray file, and the
    // next write reuses the name.
    Staged s{path, std::move(r.dir), r.name, "." + r.name + ".quillferry-new", UniqueFd()};
    if (::unlinkat(s.dir.get(), s.tmp.c_str(), 0) != 0 && errno != ENOENT)
        return failErrno(error, path + " (temporary file)");
    // 0666 lets the umask decide the mode of a new file, as a plain creation would.
    s.fd.reset(::openat(s.dir.get(), s.tmp.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!s.fd.valid()) return failErrno(error, path + " (temporary file)");

    bool ok = writeAll(s.fd.get(), bytes);
    // Failing to keep the owner (not root) is not a reason to refuse the write.
    if (ok && existed && ::fchown(s.fd.get(), old.st_uid, old.st_gid) != 0 && errno != EPERM)
        ok = false;
    if (ok && (mode || existed))
        ok = ::fchmod(s.fd.get(), mode ? *mode : (old.st_mode & 07777)) == 0;
    if (!ok) {
        const int saved = errno;
        discard(s);
        errno = saved;
        return failErrno(error, path);
    }
    staged_.push_back(std::move(s));
    return true;
}

bool FileBatch::append(const std::string& path, std::string_view bytes, std::string& error) {
    const auto s = std::find_if(staged_.begin(), staged_.end(),
                                [&path](const Staged& staged) { return staged.path == path; });
    if (s == staged_.end()) {
        errno = ENOENT;
        return failErrno(error, path + " (not staged)");
    }
    if (writeAll(s->fd.get(), bytes)) return true;
    const int saved = errno;
    discard(*s);
    staged_.erase(s);
    errno = saved;
    return failErrno(error, path);
}

bool FileBatch::commit(std::vector<std::string>& errors) {
    std::vector<Staged> staged = std::move(staged_);
    staged_.clear();
    bool all = true;
    const auto fail = [&errors, &all](Staged& s) {
        all = false;
        errors.push_back(s.path + ": " + std::strerror(errno));
        ::unlinkat(s.dir.get(), s.tmp.c_str(), 0);
        s.dir.reset();
    };

    // Durable before they are renamed: one file is flushed on its own, several with one flush
    // of each file system they are on.
    std::vector<dev_t> synced;
    for (Staged& s : staged) {
        bool ok = true;
        if (staged.size() == 1) {
            ok = ::fsync(s.fd.get()) == 0;
        } else {
            struct stat st {};
            ok = ::fstat(s.fd.get(), &st) == 0;
            // Else its file system was flushed after it was written.
            if (ok && std::find(synced.begin(), synced.end(), st.st_dev) == synced.end()) {
                ok = ::syncfs(s.fd.get()) == 0;
                if (ok) synced.push_back(st.st_dev);
            }
        }
        if (ok) ok = ::close(s.fd.release()) == 0;
        if (!ok) fail(s);
    }
    ChangedFolders folders;
    std::vector<std::size_t> folderOf(staged.size(), 0);
    for (std::size_t i = 0; i < staged.size(); ++i) {
        Staged& s = staged[i];
        if (!s.dir.valid()) continue;
        if (::renameat(s.dir.get(), s.tmp.c_str(), s.dir.get(), s.name.c_str()) != 0) {
            fail(s);
        } else {
            folderOf[i] = folders.add(s.dir.get());
        }
    }
    // The renames are durable only once their folders reach the disk: a file whose folder
    // cannot be flushed is in place, but not yet for good.
    const std::vector<std::string> unflushed = folders.flush();
    for (std::size_t i = 0; i < staged.size(); ++i) {
        if (!staged[i].dir.valid() || unflushed[folderOf[i]].empty()) continue;
        all = false;
        errors.push_back(staged[i].path + ": " + unflushed[folderOf[i]]);
    }
    return all;
}

bool writeFileAtomic(const std::string& path, std::string_view bytes, std::optional<mode_t> mode,
                     std::string& error) {
    FileBatch batch;
    if (!batch.add(path, bytes, mode, error)) return false;
    std::vector<std::string> errors;
    if (batch.commit(errors)) return true;
    error = errors.empty() ? path : errors.front();
    return false;
}

bool readBoardFile(const std::string& path, std::size_t cap, std::string& out, std::string& error,
                   mode_t* mode) {
    out.clear();
    ResolvedPath r;
    if (!resolvePath(path, r, error)) return false;
    struct stat st {};
    bool exists = false;
    if (!regularOrMissing(r, path, st, exists, error)) return false;
    if (!exists) {
        errno = ENOENT;
        return failErrno(error, path);
    }
    // Non-blocking and re-checked: whatever was swapped in since cannot hold the daemon.
    const UniqueFd fd(::openat(r.dir.get(), r.name.c_str(),
                               O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) return failErrno(error, path);
    if (!S_ISREG(st.st_mode)) {
        error = path + " is " + typeName(st.st_mode) + ", not a regular file";
        errno = EINVAL;
        return false;
    }
    if (mode != nullptr) *mode = st.st_mode & 07777;
    // Sized once: a record of some ten kilobytes must not pass through twice its size.
    out.reserve(std::min(cap, static_cast<std::size_t>(st.st_size)));
    if (!readUpTo(fd.get(), cap, out)) return failErrno(error, path);
    return true;
}

bool removeBoardFiles(const std::vector<std::string>& paths, std::vector<std::string>& errors) {
    std::vector<UniqueFd> dirs;
    ChangedFolders folders;
    std::vector<std::pair<std::string, std::size_t>> removed;  // path, its folder
    for (const std::string& path : paths) {
        const std::size_t slash = path.rfind('/');
        UniqueFd dir;
        std::string error;
        if (!openFolder(slash == std::string::npos ? "." : path.substr(0, slash + 1), dir, error)) {
            errors.push_back(error);
            continue;
        }
        const std::string name = path.substr(slash + 1);
        // Gone already counts as removed, yet its removal may not have reached the disk.
        if (::unlinkat(dir.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
            errors.push_back(path + ": " + std::strerror(errno));
            continue;
        }
        removed.emplace_back(path, folders.add(dir.get()));
        dirs.push_back(std::move(dir));
    }
    const std::vector<std::string> unflushed = folders.flush();
    for (const auto& [path, folder] : removed) {
        if (!unflushed[folder].empty()) errors.push_back(path + ": " + unflushed[folder]);
    }
    return errors.empty();
}

bool makeBoardFolder(const std::string& path, mode_t mode, std::string& error) {
    ResolvedPath r;
    if (!resolvePath(path, r, error)) return false;
    if (::mkdirat(r.dir.get(), r.name.c_str(), mode) == 0 || errno == EEXIST) return true;
    return failErrno(error, path);
}
