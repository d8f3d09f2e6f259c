#include "ctl/session.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "ctl/reply.h"
#include "ctl/request.h"
#include "ctl/serial_link.h"

namespace ctl {

namespace {

// The line to send and what answers it.
struct Request {
    std::string line;
    bool probe = false;
    // The uuid value the reply echoes (null when the request has none); unset when the
    // line is not a JSON object, whose reply is then whatever line comes first.
    std::optional<Json::Value> uuid;
    std::string cmd;
};

class Session {
public:
    Session(const Options& options, std::FILE* out, std::FILE* err)
        : options_(options), out_(out), err_(err) {}

    int run();

private:
    void complain(const std::string& message) const {
        std::fprintf(err_, "%s: %s\n", kProgramName, message.c_str());
    }
    // Flushes at once, so that a failure (a closed pipe, a full disk) is seen here and not
    // lost at exit.
    bool emit(std::string_view bytes) const {
        if (std::fwrite(bytes.data(), 1, bytes.size(), out_) == bytes.size() &&
            std::fflush(out_) == 0) {
            return true;
        }
        complain("cannot write the output");
        return false;
    }
    bool makeRequest(Request& request, std::string& error) const;
    int awaitReply(SerialLink& link, const Request& request, const Deadline& deadline) const;
    int finish(const std::string& line, const ReplyCheck& check) const;
    int noReply(SerialLink::Status status, const std::string& partial) const;

    const Options& options_;
    std::FILE* out_;
    std::FILE* err_;
    int timeoutMs_ = 0;
};

// Takes the next whole piece off the front of `pending`: a line, or the probe's
// acknowledgement with its zero byte. Zero bytes before a line are dropped: they end an
// acknowledgement whose line came before this command.
std::optional<std::string> takePiece(std::string& pending) {
    pending.erase(0, pending.find_first_not_of('\0'));
    const std::size_t nl = pending.find('\n');
    if (nl == std::string::npos) return std::nullopt;
    std::size_t size = nl + 1;
    const std::string ack = probeAck();
    if (pending.compare(0, size, ack, 0, ack.size() - 1) == 0) {
        if (pending.size() == size) return std::nullopt;  // its zero byte may be on the way
        if (pending[size] == '\0') ++size;
    }
    std::string piece = pending.substr(0, size);
    pending.erase(0, size);
    return piece;
}

bool Session::makeRequest(Request& request, std::string& error) const {
    switch (options_.subcommand) {
        case Subcommand::Probe:
            request.line = probeLine();
            request.probe = true;
            return true;
        case Subcommand::Send: {
            request.line = options_.line + "\n";
            const ReplyCheck sent = checkReply(options_.line);
            if (sent.verdict != ReplyCheck::Verdict::NotJson) {
                request.uuid = sent.root.get("uuid", Json::Value());
                const Json::Value& cmd = std::as_const(sent.root)["cmd"];
                if (cmd.isString()) request.cmd = cmd.asString();
            }
            return true;
        }
        case Subcommand::Stat:
        case Subcommand::Hw:
        case Subcommand::NetConf:
        case Subcommand::SetNet:
        case Subcommand::Clear:
            break;
    }
    Json::Value json;
    if (!subcommandRequest(options_, options_.uuid ? *options_.uuid : newUuid(), json, error)) {
        return false;
    }
    request.line = requestLine(json);
    request.uuid = json["uuid"];
    request.cmd = json["cmd"].asString();
    return true;
}

int Session::run() {
    Request request;
    std::string error;
    try {
        if (!makeRequest(request, error)) {
            complain(error);
            std::fputs(usageHint().c_str(), err_);
            return kExitUsage;
        }
    } catch (const std::exception& e) {
        complain(std::string("cannot make a uuid: ") + e.what());
        return kExitUnavailable;
    }
    timeoutMs_ = replyTimeoutMs(options_, request.cmd);
    const Deadline deadline(timeoutMs_);
    if (options_.echo) std::fprintf(err_, "> %s", request.line.c_str());

    SerialLink link;
    const SerialLink::Status opened = SerialLink::openDevice(options_.device, link, error);
    if (opened != SerialLink::Status::Ok) {
        complain(error);
        return opened == SerialLink::Status::Busy ? kExitBusy : kExitUnavailable;
    }
    const SerialLink::Status sent = link.send(request.line, deadline.leftMs());
    if (sent != SerialLink::Status::Ok) {
        complain(sent == SerialLink::Status::Timeout
                     ? options_.device + " did not take the request within " +
                           std::to_string(timeoutMs_) + " ms"
                     : "cannot write to " + options_.device + ": " + std::strerror(errno));
        return kExitNoReply;
    }
    return awaitReply(link, request, deadline);
}

int Session::awaitReply(SerialLink& link, const Request& request, const Deadline& deadline) const {
    std::string pending;
    for (;;) {
        while (const std::optional<std::string> piece = takePiece(pending)) {
            if (request.probe) {
                if (*piece == probeAck()) {
                    return emit(options_.raw ? escapeBytes(*piece) + "\n" : "alive\n")
                               ? kExitOk
                               : kExitNoReply;
                }
            } else {
                const ReplyCheck check = checkReply(*piece);
                if (!request.uuid) return finish(*piece, check);
                if (check.verdict != ReplyCheck::Verdict::NotJson &&
                    uuidEchoed(*request.uuid, std::as_const(check.root)["uuid"])) {
                    return finish(*piece, check);
                }
            }
            complain("note: discarded what does not answer this request: " + escapeBytes(*piece));
        }
        const SerialLink::Status status = link.readSome(pending, deadline.leftMs());
        if (status != SerialLink::Status::Ok) {
            return noReply(status, pending);
        }
    }
}

int Session::finish(const std::string& line, const ReplyCheck& check) const {
    if (check.verdict == ReplyCheck::Verdict::NotJson) {
        if (options_.raw && !emit(line)) return kExitNoReply;
        complain(check.problem + ": " + escapeBytes(line));
        return kExitFailed;
    }
    if (!emit(options_.raw ? line : check.root.toStyledString())) return kExitNoReply;
    if (check.verdict == ReplyCheck::Verdict::Failed) {
        complain(check.problem);
        return kExitFailed;
    }
    return kExitOk;
}

int Session::noReply(SerialLink::Status status, const std::string& partial) const {
    std::string message =
        status == SerialLink::Status::Timeout
            ? "no reply from " + options_.device + " within " + std::to_string(timeoutMs_) + " ms"
            : "reading from " + options_.device + " failed";
    if (!partial.empty()) message += " (received only: " + escapeBytes(partial) + ")";
    complain(message);
    return kExitNoReply;
}

}  // namespace

int runCommand(const Options& options, std::FILE* out, std::FILE* err) {
    return Session(options, out, err).run();
}

}  // namespace ctl
