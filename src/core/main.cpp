// SPDX-License-Identifier: Apache-2.0
#include <malloc.h>

#include <cstdlib>
#include <string>

#include "core/command_line.h"
#include "core/command_loop.h"
#include "core/command_table.h"
#include "core/constants.h"
#include "core/log.h"
#include "core/platform_qcom.h"
#include "core/process_setup.h"
#include "core/settings.h"
#include "core/uart.h"

int main(int argc, char** argv) {
    // First of all: whatever the daemon opens must not land on a closed 0, 1 or 2.
    openStandardDescriptors();
    if (const int status = handleCommandLine(argc, argv); status >= 0) return status;
    // Before any thread is started, as they inherit the signal mask.
    std::string signalError;
    const bool signalsReset = resetSignals(signalError);
    // One heap for all threads: a per-thread arena would cost more than the daemon's own data.
    mallopt(M_ARENA_MAX, 1);
    logLine("[QuillFerry] quillferry start");
    if (!signalsReset) logLine("[QuillFerry] cannot set the signal mask: %s", signalError.c_str());
    if (std::string error; !becomeSubreaper(error)) {
        logLine(
            "[QuillFerry] cannot adopt orphaned processes: %s; what a command past its time "
            "limit started outside its process group keeps running",
            error.c_str());
    }

    // The serial line, the loop that serves it with the commands of the dispatch table, and
    // the board. All live as long as the process.
    Uart uart(qf::kSerialDevice);
    CommandLoop loop(uart, daemonCommands());
    PlatformQcom platform;

    const char* search = std::getenv(qf::kDnsSearchEnv);
    const std::string domain = dnsSearchDomain(search);
    if (search != nullptr && domain != search) {
        logLine("[QuillFerry] %s is not a domain name, using %s", qf::kDnsSearchEnv,
                domain.c_str());
    }
    platform.setDnsSearch(domain);
    bool valid = true;
    platform.setIfupTimeout(ifupTimeout(std::getenv(qf::kIfupTimeoutEnv), valid));
    if (!valid) {
        logLine("[QuillFerry] %s is not a number of seconds from 1 to %d, using %d",
                qf::kIfupTimeoutEnv, qf::kMaxIfupTimeoutSec, qf::kDefaultIfupTimeoutSec);
    }
    platform.start();
    const int status = loop.run(platform);
    flushLog(qf::kLogFlushAtExitMs);
    return status;
}
