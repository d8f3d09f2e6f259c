#include "netconf/host_files.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/atomic_file.h"
#include "core/constants.h"
#include "core/platform.h"

void saveFile(const char* path, const char* data, int count) {
    const std::string_view bytes(data, count > 0 ? static_cast<std::size_t>(count) : 0);
    if (!writeFileAtomic(path, bytes, qf::kOptFileMode)) {
        std::fprintf(stderr, "[QuillFerry] cannot write %s: %s\n", path, std::strerror(errno));
    }
    // An old file that could not be replaced still gets the mode its readers expect.
    ::chmod(path, qf::kOptFileMode);
}

std::string hostInfoText(const std::string& idc, const std::string& socIp,
                         const std::string& podId) {
    return "idc=" + idc + ",soc_ip=" + socIp + ",pod_id=" + podId;
}

void Platform::saveHostInfo(const std::string& idc, const std::string& socIp,
                            const std::string& podId) {
    const std::string text = hostInfoText(idc, socIp, podId);
    saveFile(qf::kHostInfoFile, text.data(), static_cast<int>(text.size()));
}
