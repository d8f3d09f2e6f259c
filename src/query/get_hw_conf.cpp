// SPDX-License-Identifier: Apache-2.0
#include "query/get_hw_conf.h"

#include <sys/statfs.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "core/constants.h"
#include "core/log.h"
#include "core/reply.h"
#include "core/system_file.h"
#include "query/board_readings.h"

int alignToUpper(int gib) {
    if (gib <= 3) return 4;
    if (gib <= 7) return 8;
    if (gib <= 11) return 12;
    if (gib <= 15) return 16;
    for (int step = 32; step <= 1024; step *= 2) {
        if (gib < step) return step;
    }
    return 0;
}

std::string ramSizeText(std::uint64_t kib) {
    return std::to_string(alignToUpper(static_cast<int>(kib >> 20))) + qf::kRamLabel;
}

std::string romSizeText(std::uint64_t bytes) {
    return std::to_string(alignToUpper(static_cast<int>(bytes >> 30))) + qf::kRomLabel;
}

std::string getGpuModel(const char* path) {
    return getInfoFromFile(path);
}

std::uint64_t getRamSize(const char* path) {
    std::string text;
    if (!readSystemFile(path, text)) {
        logLine("[QuillFerry] fopen %s failed", path);
        return 0;
    }
    // "MemTotal:  7612345 kB": the number after the first word of the first line. A first
    // line without one gives 0, as an unreadable file does.
    text.resize(std::min(text.size(), text.find('\n')));
    const char* p = text.c_str();
    while (std::isspace(static_cast<unsigned char>(*p)) != 0) ++p;
    while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p)) == 0) ++p;
    char* end = nullptr;
    const std::uint64_t total = std::strtoull(p, &end, 10);
    return end == p ? 0 : total;
}

std::uint64_t getRomSize(const char* path) {
    struct statfs st {};
    if (::statfs(path, &st) != 0) {
        logLine("[QuillFerry] statfs %s failed", path);
        return 0;
    }
    return static_cast<std::uint64_t>(st.f_blocks) * static_cast<std::uint64_t>(st.f_bsize);
}

Handled handleGetHwConf(BoardContext& board, const Json::Value& request) {
    const BoardPaths& paths = board.paths;
    Json::Value reply = replyEnvelope(request, 0);
    reply["cpu"] = qf::kCpuModel;
    std::string gpu = getGpuModel(paths.gpuModelFile.c_str());
    // The file's newline, not a character of the model.
    if (!gpu.empty() && gpu.back() == '\n') gpu.pop_back();
    reply["gpu"] = gpu;
    reply["ram"] = ramSizeText(getRamSize(paths.memInfoFile.c_str()));
    reply["rom"] = romSizeText(getRomSize(paths.dataPath.c_str()));
    return Answer{reply, {"doGetHwConf res0:%s", "Do Get HW Configuration Data:%s", false}};
}
