// SPDX-License-Identifier: Apache-2.0
#include "core/command_line.h"

#include <cstdio>
#include <cstring>

#include "core/constants.h"
#include "core/version.h"

namespace {

constexpr int kExitUsage = 64;    // EX_USAGE
constexpr int kExitIoError = 74;  // EX_IOERR

// Flushed at once, so that a failed write (a closed pipe) shows in the exit status.
int printed(int written) {
    return written >= 0 && std::fflush(stdout) == 0 ? 0 : kExitIoError;
}

}  // namespace

int handleCommandLine(int argc, const char* const* argv) {
    if (argc < 2) return -1;
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        return printed(std::printf("quillferry %s\n", qf::kVersion));
    }
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        return printed(std::printf(
            "Usage: quillferry [--help | --version]\n\n"
            "The QuillFerry board management daemon: serves the controller's JSON requests\n"
            "on the serial line %s (raw 115200 8N1) until it is stopped. It takes\n"
            "no arguments; the environment sets %s (the DNS search domain,\n"
            "default %s), %s (seconds that ifdown and ifup may\n"
            "each take, default %d) and %s (starting with \"true\": log every\n"
            "request and reply).\n\n"
            "  --help     print this help and exit\n"
            "  --version  print the version and exit\n",
            qf::kSerialDevice, qf::kDnsSearchEnv, qf::kDefaultDnsSearch, qf::kIfupTimeoutEnv,
            qf::kDefaultIfupTimeoutSec, qf::kDebugEnv));
    }
    std::fprintf(stderr,
                 "quillferry: unexpected argument '%s'\nUsage: quillferry [--help | --version]\n",
                 argv[1]);
    return kExitUsage;
}
