// Feeds arbitrary bytes through the daemon's request path: line framing, probe, JSON
// parsing, dispatch, every handler and reply encoding, with the platform state carried
// from input to input as in the daemon. tools/run-fuzz runs it inside the simulated board,
// where the board's files are scratch and ifdown/ifup are instant stand-ins.
//
// Besides the sanitizers, every reply must be one compact JSON object line with "cmd" and
// an integral "ret_val", or the probe's acknowledgement.
#include <json/json.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "core/command_loop.h"
#include "core/constants.h"
#include "core/platform_qcom.h"
#include "core/uart.h"

namespace {

[[noreturn]] void fail(const char* why, const std::string& line) {
    std::fprintf(stderr, "bad reply (%s): %s\n", why, line.c_str());
    std::abort();
}

void checkReplies(int fd) {
    std::string out;
    char chunk[4096];
    ::lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(fd, chunk, sizeof(chunk))) > 0;) out.append(chunk, static_cast<std::size_t>(n));

    const std::string ack(qf::kProbeAck, qf::kProbeAckSize);
    Json::CharReaderBuilder strict;
    Json::CharReaderBuilder::strictMode(&strict.settings_);
    const std::unique_ptr<Json::CharReader> reader(strict.newCharReader());
    std::size_t at = 0;
    while (at < out.size()) {
        if (out.compare(at, ack.size(), ack) == 0) {
            at += ack.size();
            continue;
        }
        const std::size_t nl = out.find('\n', at);
        if (nl == std::string::npos) fail("no newline", out.substr(at));
        const std::string line = out.substr(at, nl - at);
        at = nl + 1;
        if (line.find_first_of(" \t\r") != std::string::npos) fail("white space", line);
        Json::Value reply;
        std::string errors;
        if (!reader->parse(line.data(), line.data() + line.size(), &reply, &errors)) fail("not JSON", line);
        if (!reply.isObject() || !reply["cmd"].isString() || !reply["ret_val"].isIntegral()) {
            fail("envelope", line);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One platform for the whole run, as the daemon keeps one for its life.
    static PlatformQcom platform;
    if (size == 0) return 0;

    // fmemopen needs writable memory even for reading.
    std::string input(reinterpret_cast<const char*>(data), size);
    FILE* in = ::fmemopen(input.data(), input.size(), "r");
    const int out = ::memfd_create("replies", MFD_CLOEXEC);
    if (in == nullptr || out < 0) std::abort();
    Uart uart(in, ::dup(out));

    char buf[qf::kReadBufferSize];
    for (;;) {
        std::memset(buf, 0, sizeof(buf));
        if (uart.Read(buf, static_cast<int>(sizeof(buf))) <= 0) break;
        serveRequest(platform, uart, std::string(buf));
    }
    checkReplies(out);
    ::close(out);
    return 0;
}
