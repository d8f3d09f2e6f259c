// quillferry-ctl: the controller's end of the serial line for operators, tests and demos.
// Sends one request line, waits for one reply and prints it; the exit status tells scripts
// how it went (see --help).
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "ctl/options.h"
#include "ctl/reply.h"
#include "ctl/request.h"
#include "ctl/serial_link.h"

namespace {

using ctl::Options;
using ctl::Subcommand;

void complain(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", ctl::kProgramName, message.c_str());
}

// Writes to standard output and flushes, so that a failure (a closed pipe, a full disk)
// is seen here and not lost at exit.
bool emit(std::string_view bytes) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() ||
        std::fflush(stdout) != 0) {
        complain("cannot write the output");
        return false;
    }
    return true;
}

long long nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int noReply(const Options& options, SerialLink::Status status, const std::string& partial) {
    std::string message = status == SerialLink::Status::Timeout
                              ? "no reply from " + options.device + " within " +
                                    std::to_string(options.timeoutMs) + " ms"
                              : "reading from " + options.device + " failed";
    if (!partial.empty()) message += " (received only: " + ctl::escapeBytes(partial) + ")";
    complain(message);
    return ctl::kExitNoReply;
}

// The acknowledgement is not a line (it ends in a zero byte), so it is taken byte by byte:
// a wrong answer is recognised at its first wrong byte instead of after the timeout.
int runProbe(SerialLink& link, const Options& options) {
    const long long deadline = nowMs() + options.timeoutMs;
    const std::size_t ackSize = ctl::probeAck().size();
    std::string got;
    ctl::ProbeAnswer answer = ctl::ProbeAnswer::Incomplete;
    while (answer == ctl::ProbeAnswer::Incomplete && got.size() < ackSize) {
        std::string byte;
        const long long left = deadline - nowMs();
        const SerialLink::Status status = left > 0 ? link.readExact(1, byte, static_cast<int>(left))
                                                   : SerialLink::Status::Timeout;
        if (status != SerialLink::Status::Ok) return noReply(options, status, got);
        got += byte;
        answer = ctl::judgeProbeAnswer(got);
    }
    if (answer == ctl::ProbeAnswer::Ack) {
        return emit(options.raw ? ctl::escapeBytes(got) + "\n" : "alive\n") ? ctl::kExitOk
                                                                            : ctl::kExitNoReply;
    }
    // Show the rest of what the board is saying, but do not wait long for it.
    std::string rest;
    link.readLine(rest, 100);
    got += rest;
    if (options.raw && !emit(ctl::escapeBytes(got) + "\n")) return ctl::kExitNoReply;
    complain("unexpected answer to the probe: " + ctl::escapeBytes(got));
    return ctl::kExitFailed;
}

int runRequest(SerialLink& link, const Options& options, const std::string& sentUuid) {
    std::string line;
    const SerialLink::Status status = link.readLine(line, options.timeoutMs);
    if (status != SerialLink::Status::Ok) return noReply(options, status, line);

    const ctl::ReplyCheck check = ctl::checkReply(line);
    if (check.verdict == ctl::ReplyCheck::Verdict::NotJson) {
        if (options.raw && !emit(line)) return ctl::kExitNoReply;
        complain(check.problem + ": " + ctl::escapeBytes(line));
        return ctl::kExitFailed;
    }
    if (!emit(options.raw ? line : check.root.toStyledString())) return ctl::kExitNoReply;
    // Not an error: the reply is still the one line that answered us.
    if (!sentUuid.empty() && !ctl::uuidEchoed(sentUuid, check.root["uuid"])) {
        complain("note: the reply carries another uuid than the request (" + sentUuid + ")");
    }
    if (check.verdict == ctl::ReplyCheck::Verdict::Failed) {
        complain(check.problem);
        return ctl::kExitFailed;
    }
    return ctl::kExitOk;
}

// The line to send and, for built requests, the uuid it carries. Empty, with `error` set,
// when the command line's values make no request.
std::string buildLine(const Options& options, std::string& uuid, std::string& error) {
    switch (options.subcommand) {
        case Subcommand::Probe:
            return ctl::probeLine();
        case Subcommand::Send:
            return options.line + "\n";
        case Subcommand::Stat:
        case Subcommand::Hw:
        case Subcommand::NetConf:
        case Subcommand::SetNet:
        case Subcommand::Clear:
            break;
    }
    uuid = options.uuid ? *options.uuid : ctl::newUuid();
    Json::Value request;
    if (!ctl::subcommandRequest(options, uuid, request, error)) return std::string();
    return ctl::requestLine(request);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const ctl::ParseOutcome parsed = ctl::parseCommandLine(args, std::getenv(ctl::kDeviceEnv));
    switch (parsed.kind) {
        case ctl::ParseOutcome::Kind::Help:
            return emit(ctl::usageText()) ? ctl::kExitOk : ctl::kExitNoReply;
        case ctl::ParseOutcome::Kind::UsageError:
            complain(parsed.error);
            std::fputs(ctl::usageHint().c_str(), stderr);
            return ctl::kExitUsage;
        case ctl::ParseOutcome::Kind::Run:
            break;
    }
    const Options& options = parsed.options;

    std::string uuid;
    std::string request;
    std::string error;
    try {
        request = buildLine(options, uuid, error);
    } catch (const std::exception& e) {
        complain(std::string("cannot make a uuid: ") + e.what());
        return ctl::kExitUnavailable;
    }
    if (request.empty()) {
        complain(error);
        std::fputs(ctl::usageHint().c_str(), stderr);
        return ctl::kExitUsage;
    }

    if (options.echo) std::fprintf(stderr, "> %s", request.c_str());
    SerialLink link = SerialLink::openDevice(options.device, error);
    if (!link.valid()) {
        complain(error);
        return ctl::kExitUnavailable;
    }
    if (!link.send(request)) {
        complain("cannot write to " + options.device + ": " + std::strerror(errno));
        return ctl::kExitNoReply;
    }
    return options.subcommand == Subcommand::Probe ? runProbe(link, options)
                                                   : runRequest(link, options, uuid);
}
