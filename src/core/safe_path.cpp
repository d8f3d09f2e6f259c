// SPDX-License-Identifier: Apache-2.0
#include "core/safe_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace {

// As many links as the kernel follows in one lookup.
constexpr int kMaxLinks = 40;

std::string concat(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (const std::string_view part : parts) text.append(part);
    return text;
}

bool trustedOwner(uid_t uid) {
    return uid == 0 || uid == ::geteuid();
}

void prependComponents(const std::string& path, std::deque<std::string>& todo) {
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (at <= path.size()) {
        const std::size_t slash = std::min(path.find('/', at), path.size());
        std::string part = path.substr(at, slash - at);
        if (!part.empty() && part != ".") parts.push_back(std::move(part));
        at = slash + 1;
    }
    todo.insert(todo.begin(), parts.begin(), parts.end());
}

UniqueFd openRoot() {
    return UniqueFd(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
}

// A path that is there but must not be used: errno says so (never ENOENT, which callers take
// for a missing file).
bool failWith(std::string& error, const std::string& what) {
    error = what;
    errno = EINVAL;
    return false;
}

// Keeps errno for the caller.
bool failErrno(std::string& error, const std::string& what) {
    error = what + ": " + std::strerror(errno);
    return false;
}

}  // namespace

bool resolvePath(const std::string& path, ResolvedPath& out, std::string& error) {
    std::deque<std::string> todo;
    prependComponents(path, todo);
    if (todo.empty()) return failWith(error, path + " names no file");
    UniqueFd dir =
        path.front() == '/' ? openRoot() : UniqueFd(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) return failErrno(error, path);

    int links = 0;
    for (;;) {
        std::string name = std::move(todo.front());
        todo.pop_front();
        // Looked at through one descriptor, so what is judged is what is used next.
        UniqueFd node(::openat(dir.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!node.valid()) {
            if (errno != ENOENT || !todo.empty())
                return failErrno(error, concat({path, " (", name, ")"}));
            // A file yet to be made.
            out.dir = std::move(dir);
            out.name = std::move(name);
            return true;
        }
        struct stat st {};
        if (::fstat(node.get(), &st) != 0) return failErrno(error, concat({path, " (", name, ")"}));
        if (S_ISLNK(st.st_mode)) {
            if (!trustedOwner(st.st_uid)) {
                return failWith(error, concat({path, ": symlink ", name, " is owned by uid ",
                                               std::to_string(st.st_uid), ", not root"}));
            }
            if (++links > kMaxLinks) return failWith(error, path + ": too many symlinks");
            std::vector<char> target(static_cast<std::size_t>(st.st_size) + 2);
            const ssize_t n = ::readlinkat(node.get(), "", target.data(), target.size());
            if (n < 0 || static_cast<std::size_t>(n) >= target.size())
                return failErrno(error, concat({path, ": cannot read symlink ", name}));
            const std::string link(target.data(), static_cast<std::size_t>(n));
            if (!link.empty() && link.front() == '/') dir = openRoot();
            if (!dir.valid()) return failErrno(error, path);
            prependComponents(link, todo);
            if (todo.empty())
                return failWith(error, concat({path, ": symlink ", name, " names no file"}));
            continue;
        }
        if (todo.empty()) {
            out.dir = std::move(dir);
            out.name = std::move(name);
            return true;
        }
        if (!S_ISDIR(st.st_mode))
            return failWith(error, concat({path, ": ", name, " is not a folder"}));
        dir = std::move(node);
    }
}

bool openFolder(const std::string& path, UniqueFd& out, std::string& error) {
    if (path.find_first_not_of('/') == std::string::npos) {
        out = openRoot();
        return out.valid() || failErrno(error, path);
    }
    ResolvedPath r;
    if (!resolvePath(path, r, error)) return false;
    out.reset(::openat(r.dir.get(), r.name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    return out.valid() || failErrno(error, path);
}
