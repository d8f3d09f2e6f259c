// SPDX-License-Identifier: Apache-2.0
#include "ctl/output_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "quillferry/reply.h"

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {
    std::string error;
    // Readable by a collector that runs as another user, as a file made by hand is.
    if (!batch_.add(path_, {}, 0644, error)) fail(error);
}

void OutputFile::fail(const std::string& why) {
    // The writer's messages carry the path as given: escaped, as anything from a command line.
    if (error_.empty()) error_ = "cannot write the output: " + qfclient::escapeBytes(why);
}

bool OutputFile::write(std::string_view bytes) {
    std::string error;
    if (ok() && !batch_.append(path_, bytes, error)) fail(error);
    return ok();
}

bool OutputFile::commit() {
    if (!ok()) return false;
    std::vector<std::string> errors;
    if (!batch_.commit(errors)) fail(errors.empty() ? path_ : errors.front());
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
