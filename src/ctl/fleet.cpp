// SPDX-License-Identifier: Apache-2.0
#include "ctl/fleet.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <optional>

#include "client/reply.h"
#include "core/fd_io.h"
#include "ctl/session.h"

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

// A reply member as short text: numbers and texts as they are, anything else compact.
std::string shown(const Json::Value& v) {
    if (v.isString()) return qfclient::escapeBytes(v.asString());
    if (v.isNull()) return "-";
    std::string text = qfclient::compactJson(v);
    return qfclient::escapeBytes(text);
}

// The essential values of each command's reply, in the table.
std::string essentials(const Json::Value& reply, Subcommand subcommand) {
    std::vector<std::pair<std::string, Json::Value>> values;
    switch (subcommand) {
        case Subcommand::Stat:
            for (const char* m : {"cpu_temp", "cpu_pwr_lmt", "netconf"})
                values.emplace_back(m, reply[m]);
            break;
        case Subcommand::Hw:
            for (const char* m : {"cpu", "ram", "rom"}) values.emplace_back(m, reply[m]);
            break;
        case Subcommand::NetConf: {
            const char* family = reply.isMember("ipv6") ? "ipv6" : "ipv4";
            const Json::Value& f = reply[family];
            values.emplace_back(std::string(family),
                                Json::Value(shown(f["address"]) + "/" + shown(f["netmask"])));
            values.emplace_back("gateway", f["gateway"]);
            values.emplace_back("mac", reply["mac"]);
            break;
        }
        case Subcommand::SetNet:
        case Subcommand::Clear:
            values.emplace_back("ret_val", reply["ret_val"]);
            break;
        case Subcommand::Probe:
        case Subcommand::Send:
            break;
    }
    std::string text;
    for (const auto& [name, value] : values) {
        if (!text.empty()) text += ' ';
        text += name + "=" + shown(value);
    }
    return text;
}

// A label value in the exposition format: backslash, quote and newline escaped.
std::string labelValue(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

std::string labels(const InventoryBoard& board) {
    std::string text = "board=\"" + labelValue(board.name) + "\"";
    if (board.network) {
        text += ",idc=\"" + labelValue(board.network->idc) + "\"";
        if (board.network->podId) text += ",pod=\"" + std::to_string(*board.network->podId) + "\"";
    }
    return "{" + text + "}";
}

// Replaces `path` whole: a reader (a metrics collector) sees the old or the new text, never
// a part. False with `error` when it cannot.
bool replaceFile(const std::string& path, const std::string& text, std::string& error) {
    std::string temp = path + ".XXXXXX";
    const UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
    const bool ok = fd.valid() && ::fchmod(fd.get(), 0644) == 0 && writeAll(fd.get(), text) &&
                    ::fsync(fd.get()) == 0 && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        if (fd.valid()) ::unlink(temp.c_str());
    }
    return ok;
}

// A number of an answered reply; unset when there is none.
std::optional<double> replyNumber(const BoardResult& r, const char* name) {
    const Json::Value& v = r.result.root[name];
    if (r.result.outcome != Outcome::Ok || !v.isNumeric()) return std::nullopt;
    return v.asDouble();
}

// Calls of a fleet in one loop, at most `jobs` at a time.
class FleetRun {
public:
    FleetRun(const Options& options, std::vector<BoardResult>& results,
             std::vector<qfclient::Call>& calls, std::FILE* out, std::FILE* err)
        : options_(options),
          results_(results),
          calls_(calls),
          out_(out),
          err_(err),
          progress_(::isatty(::fileno(err)) == 1) {}

    void run() {
        lines_.resize(results_.size());
        while (next_ < results_.size() && running_ < static_cast<std::size_t>(options_.jobs))
            startNext();
        loop_.runUntil([this] { return finished_ == results_.size(); });
        if (progress_) std::fputs("\r\033[K", err_);
    }
    // Why a JSON line could not be written (the first failure's errno), 0 when none failed.
    int outputErrno() const { return outputErrno_; }

private:
    void startNext() {
        const std::size_t i = next_++;
        ++running_;
        const int timeoutMs = replyTimeoutMs(options_, calls_[i]);
        lines_[i] = std::make_unique<qfclient::Line>(loop_, results_[i].board->line);
        lines_[i]->start(calls_[i], timeoutMs,
                         [this, i](const qfclient::Result& r) { done(i, r); });
    }
    void done(std::size_t i, const qfclient::Result& r) {
        results_[i].result = r;
        ++finished_;
        --running_;
        lines_[i]->close();
        if (options_.format == Format::Jsonl && options_.output.empty()) {
            const std::string line = jsonLine(results_[i]);
            if ((std::fwrite(line.data(), 1, line.size(), out_) != line.size() ||
                 std::fflush(out_) != 0) &&
                outputErrno_ == 0)
                outputErrno_ = errno;
        }
        if (progress_) {
            std::fprintf(err_, "\r\033[K%zu/%zu boards done, %zu running", finished_,
                         results_.size(), running_);
            std::fflush(err_);
        }
        if (next_ < results_.size()) startNext();
    }

    const Options& options_;
    std::vector<BoardResult>& results_;
    std::vector<qfclient::Call>& calls_;
    std::FILE* out_;
    std::FILE* err_;
    bool progress_;
    qfclient::Loop loop_;
    std::vector<std::unique_ptr<qfclient::Line>> lines_;
    std::size_t next_ = 0;
    std::size_t running_ = 0;
    std::size_t finished_ = 0;
    int outputErrno_ = 0;
};

}  // namespace

int fleetStatus(const std::vector<BoardResult>& results) {
    const auto all = [&](Outcome o) {
        return !results.empty() &&
               std::all_of(results.begin(), results.end(),
                           [o](const BoardResult& r) { return r.result.outcome == o; });
    };
    if (all(Outcome::Unavailable)) return kExitUnavailable;
    if (all(Outcome::Busy)) return kExitBusy;
    int status = kExitOk;
    for (const BoardResult& r : results) {
        const int s = qfclient::exitStatus(r.result.outcome);
        if (s > kExitFailed) return kExitNoReply;
        status = std::max(status, s);
    }
    return status;
}

std::string summaryLine(const std::vector<BoardResult>& results) {
    std::map<std::string, std::size_t> counts;
    for (const BoardResult& r : results) {
        const Outcome o = r.result.outcome;
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

std::string tableRow(const BoardResult& r, Subcommand subcommand) {
    const qfclient::Result& res = r.result;
    std::string values;
    if (res.outcome == Outcome::Ok || res.outcome == Outcome::Failed) {
        values = subcommand == Subcommand::Probe ? "alive" : essentials(res.root, subcommand);
        if (res.outcome == Outcome::Failed) values += " (" + res.detail + ")";
    } else {
        values = res.detail;
    }
    char row[256];
    std::snprintf(row, sizeof(row), "%-24s %-12s %8ss  ", r.board->name.c_str(),
                  qfclient::outcomeName(res.outcome), seconds(res.elapsedMs).c_str());
    return row + values;
}

std::string jsonLine(const BoardResult& r) {
    const qfclient::Result& res = r.result;
    Json::Value line(Json::objectValue);
    line["name"] = r.board->name;
    line["address"] = r.board->line.text;
    line["outcome"] = qfclient::outcomeName(res.outcome);
    line["exit_status"] = qfclient::exitStatus(res.outcome);
    line["elapsed_seconds"] = static_cast<double>(res.elapsedMs) / 1000.0;
    line["detail"] = res.detail;
    if (!res.root.isNull()) {
        line["reply"] = res.root;
    } else if (!res.reply.empty()) {
        line["reply"] = qfclient::escapeBytes(res.reply);
    } else {
        line["reply"] = Json::Value();
    }
    return qfclient::compactJson(line) + "\n";
}

std::string prometheusText(const std::vector<BoardResult>& results, Subcommand subcommand) {
    struct Metric {
        const char* name;
        const char* help;
        // The value for an answered board; unset: no sample.
        std::optional<double> (*value)(const BoardResult&);
        bool always;  // a sample for every board, answered or not
    };
    static const auto up = [](const BoardResult& r) -> std::optional<double> {
        return r.result.outcome == Outcome::Ok ? 1.0 : 0.0;
    };
    static const auto rtt = [](const BoardResult& r) -> std::optional<double> {
        if (!answered(r.result.outcome)) return std::nullopt;
        return static_cast<double>(r.result.elapsedMs) / 1000.0;
    };
    std::vector<Metric> metrics = {
        {"quillferry_board_up", "Whether the board answered (1) or not (0).", up, true},
        {"quillferry_board_round_trip_seconds",
         "Time from opening the board's line to its reply, in seconds.", rtt, false},
    };
    if (subcommand == Subcommand::Stat) {
        metrics.push_back({"quillferry_board_temperature_celsius",
                           "The board's hottest thermal zone, in degrees Celsius.",
                           [](const BoardResult& r) -> std::optional<double> {
                               const auto v = replyNumber(r, "cpu_temp");
                               if (!v) return v;
                               return *v / 1000.0;
                           },
                           false});
        metrics.push_back({"quillferry_board_cpu_power_limited",
                           "Whether a CPU cluster runs below its top frequency (1) or none (0).",
                           [](const BoardResult& r) -> std::optional<double> {
                               const auto v = replyNumber(r, "cpu_pwr_lmt");
                               if (!v) return v;
                               return *v == 100 ? 0.0 : 1.0;
                           },
                           false});
        metrics.push_back({"quillferry_board_network_configured",
                           "Whether the board's network is configured (1) or not, or cleared (0).",
                           [](const BoardResult& r) -> std::optional<double> {
                               const auto v = replyNumber(r, "netconf");
                               if (!v) return v;
                               return *v == 1 ? 1.0 : 0.0;
                           },
                           false});
    }
    std::string text;
    for (const Metric& m : metrics) {
        text += std::string("# HELP ") + m.name + " " + m.help + "\n# TYPE " + m.name + " gauge\n";
        for (const BoardResult& r : results) {
            const std::optional<double> v = m.value(r);
            if (!v) continue;
            char number[64];
            std::snprintf(number, sizeof(number), "%.17g", *v);
            text += std::string(m.name) + labels(*r.board) + " " + number + "\n";
        }
    }
    return text;
}

int runFleet(const Options& options, std::FILE* out, std::FILE* err) {
    const auto complain = [err](const std::string& message) {
        std::fprintf(err, "%s: %s\n", kProgramName, message.c_str());
    };
    std::vector<InventoryBoard> boards;
    std::vector<std::string> errors;
    loadInventory(options.inventory, boards, errors);
    std::vector<const InventoryBoard*> chosen;
    for (const InventoryBoard& b : boards) {
        if (options.boards.empty() ||
            std::find(options.boards.begin(), options.boards.end(), b.name) != options.boards.end())
            chosen.push_back(&b);
    }
    for (const std::string& name : options.boards) {
        if (std::none_of(boards.begin(), boards.end(),
                         [&](const auto& b) { return b.name == name; }))
            errors.push_back("no board \"" + qfclient::escapeBytes(name) + "\" in the inventory");
    }
    std::vector<BoardResult> results;
    std::vector<qfclient::Call> calls;
    try {
        for (const InventoryBoard* b : chosen) {
            qfclient::Call call;
            std::string problem;
            const bool v6 = b->network && b->network->address.find(':') != std::string::npos;
            if (options.subcommand == Subcommand::SetNet && !b->network) {
                errors.push_back("line " + std::to_string(b->lineNumber) + ": board \"" + b->name +
                                 "\": no \"network\" to apply");
            } else if (!makeCall(options, b->network ? *b->network : qfclient::NetSettings(),
                                 options.ipv6 || v6, call, problem)) {
                errors.push_back("line " + std::to_string(b->lineNumber) + ": board \"" + b->name +
                                 "\": " + problem);
            }
            results.push_back({b, {}});
            calls.push_back(call);
        }
    } catch (const std::exception& e) {
        complain(std::string("cannot make a uuid: ") + e.what());
        return kExitUnavailable;
    }
    if (!errors.empty()) {
        for (const std::string& e : errors) complain(options.inventory + ": " + e);
        complain("nothing was sent to any board");
        return kExitUsage;
    }
    // Every board at once may need more descriptors than the default soft limit allows.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    int outputErrno = 0;
    try {
        FleetRun run(options, results, calls, out, err);
        run.run();
        outputErrno = run.outputErrno();
    } catch (const std::exception& e) {
        complain(e.what());
        return kExitUnavailable;
    }
    std::string text;
    if (options.format == Format::Table) {
        char header[128];
        std::snprintf(header, sizeof(header), "%-24s %-12s %9s  %s\n", "BOARD", "RESULT", "TIME",
                      "DETAILS");
        text = header;
        for (const BoardResult& r : results) text += tableRow(r, options.subcommand) + "\n";
    } else if (options.format == Format::Prometheus) {
        text = prometheusText(results, options.subcommand);
    } else if (!options.output.empty()) {
        for (const BoardResult& r : results) text += jsonLine(r);
    }
    // The summary is told even when the output fails: it is all that is left of the results.
    std::string error;
    if (!options.output.empty()) {
        replaceFile(options.output, text, error);
    } else if (std::fwrite(text.data(), 1, text.size(), out) != text.size() ||
               std::fflush(out) != 0 || outputErrno != 0) {
        error = std::string("cannot write the output: ") +
                std::strerror(outputErrno != 0 ? outputErrno : errno);
    }
    if (!error.empty()) complain(error);
    complain(summaryLine(results));
    return error.empty() ? fleetStatus(results) : kExitOutput;
}

}  // namespace ctl
