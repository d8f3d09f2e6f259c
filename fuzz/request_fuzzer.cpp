// SPDX-License-Identifier: Apache-2.0
// Feeds arbitrary bytes through the daemon's request path: the command loop's own line
// framing, probe, JSON parsing, dispatch, every handler and reply encoding, with the platform
// state carried from input to input as in the daemon. tools/run-fuzz runs it inside the
// simulated board, where the board's files are scratch and ifdown/ifup are instant stand-ins.
//
// Besides the sanitizers: every request of a known command gets exactly one reply, anything
// else none, and every reply is one compact JSON object line with "cmd" and an integral
// "ret_val" (probe acknowledgements aside, which may come at any time).
#include <json/json.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "core/command_loop.h"
#include "core/command_table.h"
#include "core/constants.h"
#include "core/fd_io.h"
#include "core/platform_qcom.h"
#include "core/uart.h"

namespace {

[[noreturn]] void fail(const char* why, const std::string& text) {
    std::fprintf(stderr, "bad reply (%s): %s\n", why, text.c_str());
    std::abort();
}

// The reply lines among `out`, acknowledgements removed.
std::size_t checkReplies(std::string out) {
    const std::string ack(qf::kProbeAck, qf::kProbeAckSize);
    for (std::size_t at; (at = out.find(ack)) != std::string::npos;) out.erase(at, ack.size());
    Json::CharReaderBuilder strict;
    Json::CharReaderBuilder::strictMode(&strict.settings_);
    const std::unique_ptr<Json::CharReader> reader(strict.newCharReader());
    std::size_t replies = 0;
    for (std::size_t at = 0; at < out.size(); ++replies) {
        const std::size_t nl = out.find('\n', at);
        if (nl == std::string::npos) fail("no newline", out.substr(at));
        const std::string line = out.substr(at, nl - at);
        at = nl + 1;
        if (line.find_first_of(" \t\r") != std::string::npos) fail("white space", line);
        Json::Value reply;
        std::string errors;
        if (!reader->parse(line.data(), line.data() + line.size(), &reply, &errors))
            fail("not JSON", line);
        if (!reply.isObject() || !reply["cmd"].isString() || !reply["ret_val"].isIntegral())
            fail("envelope", line);
    }
    return replies;
}

// What has been written to `fd` since `offset`, which moves past it.
std::string readSince(int fd, off_t& offset) {
    std::string text;
    char chunk[4096];
    for (ssize_t n; (n = ::pread(fd, chunk, sizeof(chunk), offset)) > 0; offset += n)
        text.append(chunk, static_cast<std::size_t>(n));
    return text;
}

UniqueFd memoryFile(const char* name) {
    UniqueFd fd(::memfd_create(name, MFD_CLOEXEC));
    if (!fd.valid()) std::abort();
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One platform for the whole run, as the daemon keeps one for its life.
    static PlatformQcom platform;
    // The gateway check of a verified apply answers at once, by the gateway's last digit, so
    // that an input is never held for the seconds it asks for.
    static const bool instantCheck = [] {
        platform.board().gatewayCheck = [](const std::string& gateway, std::chrono::milliseconds,
                                           std::string& detail) {
            detail = "the fuzzer's stand-in";
            return !gateway.empty() && (gateway.back() - '0') % 2 == 1;
        };
        return true;
    }();
    (void)instantCheck;
    if (size == 0) return 0;

    UniqueFd in = memoryFile("requests");
    const UniqueFd out = memoryFile("replies");
    if (!writeAll(in.get(), std::string_view(reinterpret_cast<const char*>(data), size)) ||
        ::lseek(in.get(), 0, SEEK_SET) != 0)
        std::abort();
    Uart uart(std::move(in), UniqueFd(::dup(out.get())));
    CommandLoop loop(uart, daemonCommands());

    Served served = Served::Nothing;
    off_t seen = 0;
    while (loop.serveNext(platform, served)) {
        const std::string replies = readSince(out.get(), seen);
        const std::size_t count = checkReplies(replies);
        if (count != (served == Served::Request ? 1U : 0U))
            fail(served == Served::Request ? "not one reply to a request" : "reply to no request",
                 replies);
    }
    return 0;
}
