// SPDX-License-Identifier: Apache-2.0
#include "ctl/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "client/reply.h"
#include "core/fd_io.h"

namespace {

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

OutputFile::OutputFile(std::string path) : path_(std::move(path)), temp_(path_ + ".XXXXXX") {
    fd_.reset(::mkostemp(temp_.data(), O_CLOEXEC));
    if (!fd_.valid()) {
        temp_.clear();
        fail("cannot make a file beside it");
    } else if (::fchmod(fd_.get(), 0644) != 0) {
        // Readable by a collector that runs as another user, as a file made by hand is.
        fail("cannot set its mode");
    }
}

OutputFile::~OutputFile() {
    if (!committed_ && !temp_.empty()) ::unlink(temp_.c_str());
}

void OutputFile::fail(const std::string& what) {
    if (error_.empty())
        error_ = "cannot write " + qfclient::escapeBytes(path_) + ": " + what + ": " +
                 std::strerror(errno);
}

bool OutputFile::write(std::string_view bytes) {
    if (ok() && !writeAll(fd_.get(), bytes)) fail("writing failed");
    return ok();
}

bool OutputFile::commit() {
    if (!ok()) return false;
    if (::fsync(fd_.get()) != 0) {
        fail("flushing failed");
    } else if (::rename(temp_.c_str(), path_.c_str()) != 0) {
        fail("cannot put it in place");
    } else {
        committed_ = true;
        // The rename itself lasts only once its folder is on disk.
        const UniqueFd dir(::open(folderOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dir.valid() || ::fsync(dir.get()) != 0) fail("cannot flush its folder");
    }
    fd_.reset();
    return ok();
}

bool removeOutput(const std::string& path, std::string& error) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return true;
        error = "cannot remove " + qfclient::escapeBytes(path) + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
        error = "left " + qfclient::escapeBytes(path) + " alone: not a regular file";
        return false;
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        error = "cannot remove " + qfclient::escapeBytes(path) + ": " + std::strerror(errno);
        return false;
    }
    return true;
}
