#include <malloc.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "core/command_line.h"
#include "core/command_loop.h"
#include "core/constants.h"
#include "core/log.h"
#include "core/platform_qcom.h"
#include "core/uart.h"
#include "netconf/host_network.h"

int main(int argc, char** argv) {
    if (const int status = handleCommandLine(argc, argv); status >= 0) return status;
    // One heap for all threads: a per-thread arena would cost more than the daemon's own data.
    mallopt(M_ARENA_MAX, 1);
    // A closed log pipe must not end the daemon: a failed write is reported, not fatal.
    std::signal(SIGPIPE, SIG_IGN);
    setLogBuffering();
    logLine("[QuillFerry] quillferry start");
    // Both live as long as the process: the loop never ends.
    auto platform = std::make_unique<PlatformQcom>();
    const char* search = std::getenv(qf::kDnsSearchEnv);
    const std::string domain = dnsSearchDomain(search);
    if (search != nullptr && domain != search) {
        logLine("[QuillFerry] %s is not a domain name, using %s", qf::kDnsSearchEnv,
                domain.c_str());
    }
    platform->setDnsSearch(domain);
    bool valid = true;
    ChildLimits limits;
    limits.timeout = ifupTimeout(std::getenv(qf::kIfupTimeoutEnv), valid);
    if (!valid) {
        logLine("[QuillFerry] %s is not a number of seconds from 1 to %d, using %d",
                qf::kIfupTimeoutEnv, qf::kMaxIfupTimeoutSec, qf::kDefaultIfupTimeoutSec);
    }
    Uart uart(qf::kSerialDevice);
    CommandLoop loop(*platform, uart);
    // While ifdown or ifup runs, the loop keeps answering the probe.
    limits.wait = [&loop](int fd, int timeoutMs) { loop.waitForFd(fd, timeoutMs); };
    platform->setChildLimits(limits);
    loop.run();
}
