// SPDX-License-Identifier: Apache-2.0
#include "ctl/fleet.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "ctl/drift.h"
#include "ctl/fleet_set_net.h"
#include "ctl/output_file.h"
#include "ctl/service_discovery.h"
#include "ctl/session.h"
#include "quillferry/reply.h"

namespace ctl {

namespace {

using qfclient::Outcome;

bool answered(Outcome o) {
    return o == Outcome::Ok || o == Outcome::Failed || o == Outcome::Malformed;
}

std::string seconds(long long ms) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.3f", static_cast<double>(ms) / 1000.0);
    return text;
}

// Reply values in the table: at most this many bytes of each, escaped.
constexpr std::size_t kMaxShownBytes = 64;
// A board's details in the table, at most.
constexpr std::size_t kMaxDetailsBytes = 1024;

std::string cut(const std::string& text, std::size_t max) {
    return text.size() <= max ? text : text.substr(0, max) + "...";
}

using qfclient::member;

// A reply value as short text: a text as it is, null as "-", anything else compact JSON;
// escaped and cut short.
std::string shown(const Json::Value& v) {
    if (v.isNull()) return "-";
    const std::string text = v.isString() ? v.asString() : qfclient::compactJson(v);
    return qfclient::escapeBytes(std::string_view(text).substr(0, kMaxShownBytes)) +
           (text.size() > kMaxShownBytes ? "..." : "");
}

// What is in force, in a word or the address: "none", "unknown", "10.0.0.8/24", or
// "cannot-tell" for a board of an earlier version.
std::string inForceSummary(const Json::Value& reply) {
    if (!reply.isObject() || !reply.isMember("in_force")) return "cannot-tell";
    const Json::Value& inForce = member(reply, "in_force");
    if (inForce.isNull()) return "none";
    const Json::Value network = networkOfInForce(inForce);
    const Json::Value& address = member(network, "address");
    return shown(inForce.isObject() && address.isString() ? address : inForce);
}

// The essential values of each command's reply, in the table.
std::string essentials(const Json::Value& reply, Subcommand subcommand) {
    std::vector<std::pair<std::string, std::string>> values;
    const auto show = [&](const char* name, const Json::Value& from) {
        values.emplace_back(name, shown(member(from, name)));
    };
    switch (subcommand) {
        case Subcommand::Stat:
            for (const char* m : {"cpu_temp", "cpu_pwr_lmt", "netconf"}) show(m, reply);
            break;
        case Subcommand::Hw:
            for (const char* m : {"cpu", "ram", "rom"}) show(m, reply);
            break;
        case Subcommand::NetConf: {
            const char* family = member(reply, "ipv6").isNull() ? "ipv4" : "ipv6";
            const Json::Value& f = member(reply, family);
            values.emplace_back(family,
                                shown(member(f, "address")) + "/" + shown(member(f, "netmask")));
            show("gateway", f);
            show("mac", reply);
            values.emplace_back("in_force", inForceSummary(reply));
            break;
        }
        case Subcommand::SetNet:
        case Subcommand::Clear:
            show("ret_val", reply);
            break;
        case Subcommand::Probe:
        case Subcommand::Send:
            break;
    }
    std::string text;
    for (const auto& [name, value] : values) {
        if (!text.empty()) text += ' ';
        text.append(name).append("=").append(value);
    }
    return text;
}

// Calls of a fleet in one loop, at most `jobs` at a time. Boards are started from the loop,
// between its rounds, and a finished board's line is let go at once: what stays of it is
// its BoardResult.
class FleetRun {
public:
    // `emit` takes each board's JSON line as the board finishes (none: no JSON lines).
    // `steps` (none: one call per board) adds the calls that follow each board's first.
    FleetRun(const Options& options, std::vector<const InventoryBoard*> boards,
             std::vector<qfclient::Call> calls, std::function<void(const std::string&)> emit,
             std::FILE* err, FleetSteps* steps = nullptr)
        : options_(options),
          boards_(std::move(boards)),
          calls_(std::move(calls)),
          emit_(std::move(emit)),
          err_(err),
          steps_(steps),
          progress_(::isatty(::fileno(err)) == 1) {}

    std::vector<BoardResult> run() {
        results_.resize(boards_.size());
        for (std::size_t i = 0; i < boards_.size(); ++i) results_[i].board = boards_[i];
        lines_.resize(boards_.size());
        while (finished_ < boards_.size()) {
            while (next_ < boards_.size() && running_ < static_cast<std::size_t>(options_.jobs))
                start(next_++);
            const bool served = loop_.serve();
            for (const std::size_t i : ended_) lines_[i].reset();
            ended_.clear();
            if (!served && next_ == boards_.size()) break;  // nothing more will come
        }
        if (progress_) std::fputs("\r\033[K", err_);
        return std::move(results_);
    }

private:
    void start(std::size_t i) {
        ++running_;
        const int timeoutMs = replyTimeoutMs(options_, calls_[i]);
        lines_[i] = std::make_unique<qfclient::Line>(loop_, boards_[i]->line);
        lines_[i]->start(calls_[i], timeoutMs,
                         [this, i](const qfclient::Result& r) { done(i, r); });
        calls_[i] = qfclient::Call();  // the line holds its own copy
    }
    void done(std::size_t i, const qfclient::Result& r) {
        std::optional<qfclient::Call> next;
        try {
            if (steps_ != nullptr) next = steps_->next(i, r);
        } catch (const std::exception&) {
            next.reset();  // what the board sent spoils its own result only: finish() tells
        }
        if (next) {
            lines_[i]->start(*next, replyTimeoutMs(options_, *next),
                             [this, i](const qfclient::Result& r2) { done(i, r2); });
            return;
        }
        ++finished_;
        --running_;
        ended_.push_back(i);
        lines_[i]->close();
        // Whatever the board sent, it spoils no more than its own result.
        try {
            results_[i] = digest(*boards_[i], r, options_.subcommand);
            Json::Value line = jsonObject(*boards_[i], r);
            if (steps_ != nullptr) steps_->finish(i, r, results_[i], line);
            if (emit_) emit_(qfclient::compactJson(line) + "\n");
        } catch (const std::exception& e) {
            results_[i].board = boards_[i];
            results_[i].outcome = Outcome::Malformed;
            results_[i].elapsedMs = r.elapsedMs;
            results_[i].details =
                cut("cannot read the reply: " + qfclient::escapeBytes(e.what()), kMaxDetailsBytes);
        }
        if (progress_) {
            std::fprintf(err_, "\r\033[K%zu/%zu boards done, %zu running", finished_,
                         boards_.size(), running_);
            std::fflush(err_);
        }
    }

    const Options& options_;
    std::vector<const InventoryBoard*> boards_;
    std::vector<qfclient::Call> calls_;
    std::function<void(const std::string&)> emit_;
    std::FILE* err_;
    FleetSteps* steps_;
    bool progress_;
    qfclient::Loop loop_;
    std::vector<std::unique_ptr<qfclient::Line>> lines_;
    std::vector<BoardResult> results_;
    std::vector<std::size_t> ended_;  // boards whose lines are let go after this round
    std::size_t next_ = 0;
    std::size_t running_ = 0;
    std::size_t finished_ = 0;
};

}  // namespace

BoardResult digest(const InventoryBoard& board, const qfclient::Result& result,
                   Subcommand subcommand) {
    BoardResult r;
    r.board = &board;
    r.outcome = result.outcome;
    r.elapsedMs = result.elapsedMs;
    if (result.outcome == Outcome::Ok || result.outcome == Outcome::Failed) {
        r.details = subcommand == Subcommand::Probe ? "alive" : essentials(result.root, subcommand);
        if (result.outcome == Outcome::Failed) r.details += " (" + result.detail + ")";
    } else {
        r.details = result.detail;
    }
    r.details = cut(r.details, kMaxDetailsBytes);
    if (subcommand == Subcommand::Stat && result.outcome == Outcome::Ok)
        r.stat = readStat(result.root);
    return r;
}

int fleetStatus(const std::vector<BoardResult>& results) {
    const auto all = [&](Outcome o) {
        return !results.empty() &&
               std::all_of(results.begin(), results.end(),
                           [o](const BoardResult& r) { return r.outcome == o; });
    };
    if (all(Outcome::Unavailable)) return kExitUnavailable;
    if (all(Outcome::Busy)) return kExitBusy;
    int status = kExitOk;
    for (const BoardResult& r : results) {
        const int s = exitStatus(r.outcome);
        if (s > kExitFailed) return kExitNoReply;
        status = std::max(status, s);
    }
    return status;
}

std::string summaryLine(const std::vector<BoardResult>& results) {
    std::map<std::string, std::size_t> counts;
    for (const BoardResult& r : results) {
        const Outcome o = r.outcome;
        counts[o == Outcome::Ok            ? "ok"
               : answered(o)               ? "failed"
               : o == Outcome::Busy        ? "busy"
               : o == Outcome::Unavailable ? "unavailable"
                                           : "no reply"]++;
    }
    std::string text =
        std::to_string(results.size()) + (results.size() == 1 ? " board:" : " boards:");
    const char* kinds[] = {"ok", "failed", "no reply", "unavailable", "busy"};
    for (const char* kind : kinds) {
        text +=
            std::string(kind == kinds[0] ? " " : ", ") + std::to_string(counts[kind]) + " " + kind;
    }
    return text;
}

std::string tableRow(const BoardResult& r) {
    char row[256];
    std::snprintf(row, sizeof(row), "%-24s %-12s %8ss  ",
                  qfclient::escapeBytes(r.board->name).c_str(), qfclient::outcomeName(r.outcome),
                  seconds(r.elapsedMs).c_str());
    return row + r.details;
}

std::string jsonLine(const InventoryBoard& board, const qfclient::Result& res) {
    return qfclient::compactJson(jsonObject(board, res)) + "\n";
}

Json::Value jsonObject(const InventoryBoard& board, const qfclient::Result& res) {
    Json::Value line(Json::objectValue);
    line["name"] = board.name;
    line["address"] = board.line.text;
    line["outcome"] = qfclient::outcomeName(res.outcome);
    line["exit_status"] = exitStatus(res.outcome);
    line["elapsed_seconds"] = static_cast<double>(res.elapsedMs) / 1000.0;
    line["detail"] = res.detail;
    if (!res.root.isNull()) {
        line["reply"] = res.root;
    } else if (!res.reply.empty()) {
        line["reply"] = qfclient::escapeBytes(res.reply);
    } else {
        line["reply"] = Json::Value();
    }
    return line;
}

std::string prometheusText(const std::vector<BoardResult>& results, Subcommand subcommand) {
    return boardMetricsText(std::vector<BoardMetrics>(results.begin(), results.end()),
                            subcommand == Subcommand::Stat);
}

namespace {

// The calls of the chosen boards, or `complaints` about those that cannot be given one.
std::vector<qfclient::Call> fleetCalls(const Options& options,
                                       const std::vector<const InventoryBoard*>& chosen,
                                       Complaints& complaints) {
    std::vector<qfclient::Call> calls;
    for (const InventoryBoard* b : chosen) {
        qfclient::Call call;
        std::string problem;
        const bool v6 = b->network && b->network->address.find(':') != std::string::npos;
        qfclient::NetSettings net = b->network ? *b->network : qfclient::NetSettings();
        // A board's own verify_gateway, else --verify-gateway.
        if (!net.verifyGatewaySec) net.verifyGatewaySec = options.net.verifyGatewaySec;
        if (options.subcommand == Subcommand::SetNet && !b->network) {
            problem = "no \"network\" to apply";
        } else if (makeCall(options, net, options.ipv6 || v6, call, problem)) {
            calls.push_back(std::move(call));
            continue;
        }
        complaints.add("line " + std::to_string(b->lineNumber) + ": board \"" +
                       qfclient::escapeBytes(b->name) + "\": " + problem);
    }
    return calls;
}

}  // namespace

int runFleet(const Options& options, std::FILE* out, std::FILE* err) {
    const auto complain = [err](const std::string& message) {
        std::fprintf(err, "%s: %s\n", kProgramName, message.c_str());
    };
    // A command that fails before it has results leaves no earlier output in place, as if
    // it were this run's.
    const auto withoutResults = [&](int status) {
        std::string error;
        if (!options.output.empty() && !removeOutput(options.output, error)) complain(error);
        return status;
    };
    std::vector<InventoryBoard> boards;
    Complaints complaints;
    loadInventory(options.inventory, boards, complaints);
    std::vector<const InventoryBoard*> chosen;
    for (const InventoryBoard& b : boards) {
        if (options.boards.empty() ||
            std::find(options.boards.begin(), options.boards.end(), b.name) != options.boards.end())
            chosen.push_back(&b);
    }
    for (const std::string& name : options.boards) {
        if (std::none_of(boards.begin(), boards.end(),
                         [&](const auto& b) { return b.name == name; }))
            complaints.add("no board \"" + qfclient::escapeBytes(name) + "\" in the inventory");
    }
    std::vector<qfclient::Call> calls;
    std::unique_ptr<FleetSteps> steps;
    try {
        if (complaints.empty() && options.format != Format::PrometheusSd)
            calls = fleetCalls(options, chosen, complaints);
        if (complaints.empty() && options.format != Format::PrometheusSd &&
            options.subcommand == Subcommand::SetNet)
            steps = setNetSteps(options, chosen, calls);
    } catch (const std::exception& e) {
        complain(std::string("cannot make a uuid: ") + e.what());
        return withoutResults(kExitUnavailable);
    }
    if (!complaints.empty()) {
        for (const std::string& line : complaints.lines())
            complain(qfclient::escapeBytes(options.inventory) + ": " + line);
        complain("nothing was sent to any board");
        return withoutResults(kExitUsage);
    }
    std::optional<OutputFile> file;
    if (!options.output.empty()) file.emplace(options.output);
    int streamErrno = 0;
    // The output once every board has finished, replacing --output whole; the error when
    // it cannot be written.
    const auto finalOutput = [&](const std::string& text) {
        std::string error;
        if (file) {
            if (!file->write(text) || !file->commit()) {
                error = file->error();
                // The old output must not stay as if it were this run's.
                std::string kept;
                if (!removeOutput(options.output, kept)) error += "; " + kept;
            }
        } else if (std::fwrite(text.data(), 1, text.size(), out) != text.size() ||
                   std::fflush(out) != 0 || streamErrno != 0) {
            error = std::string("cannot write the output: ") +
                    std::strerror(streamErrno != 0 ? streamErrno : errno);
        }
        if (!error.empty()) complain(error);
        return error.empty();
    };
    if (options.format == Format::PrometheusSd)
        return finalOutput(serviceDiscoveryJson(chosen)) ? kExitOk : kExitOutput;

    // Every board at once may need more descriptors than the default soft limit allows.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }

    std::function<void(const std::string&)> emit;
    if (options.format == Format::Jsonl) {
        emit = [&](const std::string& line) {
            if (file) {
                file->write(line);
            } else if ((std::fwrite(line.data(), 1, line.size(), out) != line.size() ||
                        std::fflush(out) != 0) &&
                       streamErrno == 0) {
                streamErrno = errno;
            }
        };
    }
    std::vector<BoardResult> results;
    try {
        results = FleetRun(options, chosen, std::move(calls), emit, err, steps.get()).run();
    } catch (const std::exception& e) {
        complain(e.what());
        file.reset();
        return withoutResults(kExitUnavailable);
    }
    std::string text;
    if (options.format == Format::Table) {
        char header[128];
        std::snprintf(header, sizeof(header), "%-24s %-12s %9s  %s\n", "BOARD", "RESULT", "TIME",
                      "DETAILS");
        text = header;
        for (const BoardResult& r : results) {
            text += tableRow(r) + "\n";
            for (const std::string& line : r.diff) text += "    " + line + "\n";
        }
    } else if (options.format == Format::Prometheus) {
        text = prometheusText(results, options.subcommand);
    }
    // The summary is told even when the output fails: it is all that is left of the results.
    const bool written = finalOutput(text);
    complain(summaryLine(results) + (steps ? steps->summary(results) : ""));
    if (!written) return kExitOutput;
    return steps ? steps->status(results) : fleetStatus(results);
}

}  // namespace ctl
