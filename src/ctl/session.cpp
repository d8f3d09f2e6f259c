// SPDX-License-Identifier: Apache-2.0
#include "ctl/session.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include "ctl/apply_note.h"
#include "ctl/fleet.h"
#include "protocol/wire.h"
#include "quillferry/line.h"
#include "quillferry/reply.h"

namespace ctl {

namespace {

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
        complain(std::string("cannot write the output: ") + std::strerror(errno));
        return false;
    }
    int report(const qfclient::Result& result, const qfclient::Call& call) const;

    const Options& options_;
    std::FILE* out_;
    std::FILE* err_;
};

int Session::run() {
    qfclient::Call call;
    std::string error;
    try {
        if (!makeCall(options_, options_.net, options_.ipv6, call, error)) {
            complain(error);
            std::fputs(usageHint().c_str(), err_);
            return kExitUsage;
        }
    } catch (const std::exception& e) {
        complain(std::string("cannot make a uuid: ") + e.what());
        return kExitUnavailable;
    }
    qfclient::LineAddress address;
    if (!qfclient::parseAddress(options_.device, address, error)) {
        complain(error);
        return kExitUsage;
    }
    address.identity = options_.identity;
    address.knownHosts = options_.knownHosts;
    address.ca = options_.ca;
    address.cert = options_.cert;
    address.key = options_.key;
    error = qfclient::lineFilesProblem(address);
    if (!error.empty()) {
        complain(error);
        return kExitUsage;
    }
    if (options_.echo) std::fprintf(err_, "> %s", call.line.c_str());
    try {
        qfclient::Line line(address);
        return report(line.call(call, replyTimeoutMs(options_, call)), call);
    } catch (const std::exception& e) {
        complain(e.what());
        return kExitUnavailable;
    }
}

int Session::report(const qfclient::Result& result, const qfclient::Call& call) const {
    const bool probe = call.probe;
    for (const std::string& piece : result.discarded) {
        complain("note: discarded what does not answer this request: " + piece);
    }
    if (result.discardedCount > result.discarded.size()) {
        complain("note: and " + std::to_string(result.discardedCount - result.discarded.size()) +
                 " more");
    }
    const int status = exitStatus(result.outcome);
    switch (result.outcome) {
        // The board's answer is told on standard error even when the output fails.
        case qfclient::Outcome::Ok:
        case qfclient::Outcome::Failed: {
            const bool written =
                probe ? emit(options_.raw ? qfclient::escapeBytes(result.reply) + "\n" : "alive\n")
                      : emit(options_.raw ? result.reply : result.root.toStyledString());
            if (!result.detail.empty()) complain(result.detail);
            if (const std::string note = applyNote(call, result.root); !note.empty())
                complain("note: " + note);
            if (call.cmd == qf::kCmdGetNetConf && !result.root.isMember(qf::kInForceMember))
                complain("note: the board cannot tell what it runs: it does not report \"" +
                         std::string(qf::kInForceMember) + "\" (an earlier version)");
            return written ? status : kExitOutput;
        }
        case qfclient::Outcome::Malformed: {
            const bool written = !options_.raw || emit(result.reply);
            complain(result.detail + ": " + qfclient::escapeBytes(result.reply));
            return written ? status : kExitOutput;
        }
        default:
            complain(result.detail);
            return status;
    }
}

}  // namespace

bool makeCall(const Options& options, const qfclient::NetSettings& net, bool ipv6,
              qfclient::Call& call, std::string& error) {
    const auto fresh = [&options] { return options.uuid ? *options.uuid : qfclient::newUuid(); };
    switch (options.subcommand) {
        case Subcommand::Probe:
            call = qfclient::probeCall();
            return true;
        case Subcommand::Send:
            return qfclient::lineCall(options.line, call, error);
        case Subcommand::Stat:
            call = qfclient::requestCall(qfclient::statRequest(fresh()));
            return true;
        case Subcommand::Hw:
            call = qfclient::requestCall(qfclient::hwConfRequest(fresh()));
            return true;
        case Subcommand::NetConf:
            call = qfclient::requestCall(qfclient::netConfRequest(fresh(), true));
            return true;
        case Subcommand::Clear:
            call = qfclient::requestCall(qfclient::clearRequest(fresh(), ipv6));
            return true;
        case Subcommand::SetNet: {
            Json::Value request;
            if (!qfclient::setNetRequest(fresh(), net, request, error)) return false;
            call = qfclient::requestCall(request);
            return true;
        }
    }
    return false;
}

int runCommand(const Options& options, std::FILE* out, std::FILE* err) {
    if (!options.inventory.empty()) return runFleet(options, out, err);
    return Session(options, out, err).run();
}

}  // namespace ctl
