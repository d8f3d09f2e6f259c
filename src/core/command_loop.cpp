#include "core/command_loop.h"

#include <json/json.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <thread>

#include "core/constants.h"
#include "core/platform.h"
#include "core/uart.h"
#include "core/util.h"

void set_debug_flag(Platform* platform) {
    const char* value = std::getenv(qf::kDebugEnv);
    platform->setDebugFlag(value != nullptr && std::strncmp(value, "true", 4) == 0);
}

namespace {

void dispatch(Platform& platform, Uart& uart, const Json::Value& request, const std::string& cmd) {
    if (cmd == qf::kCmdSetNetConf) {
        platform.doSetNetConf(request, uart);
    } else if (cmd == qf::kCmdGetNetConf) {
        platform.doGetNetConf(request, uart);
    } else if (cmd == qf::kCmdGetStat) {
        platform.doGetStat(request, uart);
    } else if (cmd == qf::kCmdGetHwConf) {
        platform.doGetHwConf(request, uart);
    } else {
        std::fputs("[QuillFerry] Unkown command", stderr);
    }
}

void pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

void serveRequest(Platform& platform, Uart& uart, const std::string& text) {
    if (text.empty()) return;
    if (text.compare(0, qf::kProbeLength, qf::kProbe) == 0) {
        std::fputs("[QuillFerry] quillferry status check\n", stderr);
        uart.Write(qf::kProbeAck, static_cast<int>(qf::kProbeAckSize));
        return;
    }
    // The JSON reader throws on some inputs (deep nesting) and handlers may meet what the
    // library refuses; one bad request must never end the daemon.
    try {
        Json::Value root;
        if (!parseJson(text, root) || !root.isObject()) return;
        const Json::Value& cmd = root["cmd"];
        if (!cmd.isString()) {
            std::fputs("read fail\n", stderr);
            return;
        }
        dispatch(platform, uart, root, cmd.asString());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "[QuillFerry] request dropped: %s\n", e.what());
    } catch (...) {
        std::fputs("[QuillFerry] request dropped: unknown exception\n", stderr);
    }
}

void runCommandLoop(Platform& platform, Uart& uart) {
    char buf[qf::kReadBufferSize];
    int failurePauseMs = qf::kReadFailurePauseMs;
    for (;;) {
        set_debug_flag(&platform);
        std::memset(buf, 0, sizeof(buf));
        const int got = uart.Read(buf, static_cast<int>(sizeof(buf)));
        if (got < 0) {
            // No device: try again about once a second, so a late device is still served.
            pause(qf::kReopenPauseMs);
            uart.Reopen();
            continue;
        }
        if (got == 0) {
            // End of input or an error (hang-up): back off, then start afresh on the device.
            pause(failurePauseMs);
            failurePauseMs = std::min(failurePauseMs * 2, qf::kReopenPauseMs);
            uart.Reopen();
            continue;
        }
        failurePauseMs = qf::kReadFailurePauseMs;
        if (platform.getDebugFlag())
            std::fprintf(stderr, "[QuillFerry] Read From Uart Data:%s\n", buf);
        serveRequest(platform, uart, std::string(buf));
    }
}
