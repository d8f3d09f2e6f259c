// SPDX-License-Identifier: Apache-2.0
#include "netconf/host_files.h"

#include <cstdio>
#include <string_view>

#include "core/atomic_file.h"
#include "core/constants.h"
#include "core/log.h"

void logWriteFailure(const std::string& error) {
    logLine("[QuillFerry] cannot write %s", error.c_str());
}

bool saveFile(const char* path, const char* data, int count, FileBatch* batch) {
    const std::string_view bytes(data, count > 0 ? static_cast<std::size_t>(count) : 0);
    std::string error;
    const bool ok = batch != nullptr ? batch->add(path, bytes, qf::kOptFileMode, error)
                                     : writeFileAtomic(path, bytes, qf::kOptFileMode, error);
    if (!ok) logWriteFailure(error);
    return ok;
}

bool commitFiles(FileBatch& batch) {
    std::vector<std::string> errors;
    if (batch.commit(errors)) return true;
    for (const std::string& error : errors) logWriteFailure(error);
    return false;
}

std::string hostInfoText(const std::string& idc, const std::string& socIp,
                         const std::string& podId) {
    return "idc=" + idc + ",soc_ip=" + socIp + ",pod_id=" + podId;
}

bool saveHostInfo(const BoardPaths& paths, const std::string& idc, const std::string& socIp,
                  const std::string& podId, FileBatch* batch) {
    const std::string text = hostInfoText(idc, socIp, podId);
    return saveFile(paths.hostInfoFile.c_str(), text.data(), static_cast<int>(text.size()), batch);
}
