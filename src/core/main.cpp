#include <csignal>
#include <cstdio>
#include <memory>

#include "core/command_loop.h"
#include "core/constants.h"
#include "core/platform_qcom.h"
#include "core/uart.h"

int main() {
    // A closed log pipe must not end the daemon: a failed write is reported, not fatal.
    std::signal(SIGPIPE, SIG_IGN);
    std::fprintf(stderr, "[QuillFerry] quillferry start\n");
    // Both live as long as the process: the loop never ends.
    auto platform = std::make_unique<PlatformQcom>();
    Uart uart(qf::kSerialDevice);
    runCommandLoop(*platform, uart);
}
