// SPDX-License-Identifier: Apache-2.0
#include "ctl/fleet_set_net.h"

#include <algorithm>
#include <utility>

#include "ctl/apply_note.h"
#include "ctl/drift.h"
#include "protocol/wire.h"
#include "quillferry/reply.h"

namespace ctl {

namespace {

using qfclient::Outcome;
using Change = BoardResult::Change;

// ret_val of a set_net_conf that left the configuration as it was: refused, or put back.
constexpr int kRefused = -1;
constexpr int kPutBack = -5;

// What an apply that was answered with `r` did to the configuration; `known`: the board
// told what it ran before, so that a success is a change.
Change applyChange(const qfclient::Result& r, bool known) {
    switch (r.outcome) {
        case Outcome::Ok:
            return known ? Change::Changed : Change::NotKnown;
        case Outcome::Failed: {
            const Json::Value& retVal = r.root["ret_val"];
            return retVal == kRefused || retVal == kPutBack ? Change::Unchanged : Change::NotKnown;
        }
        case Outcome::Unavailable:
        case Outcome::Busy:
            return Change::None;  // nothing reached the board
        default:
            return Change::NotKnown;  // sent, but how it ended is not known
    }
}

Json::Value changedJson(Change c) {
    if (c == Change::Changed) return true;
    if (c == Change::Unchanged) return false;
    return Json::Value();
}

class SetNetSteps : public FleetSteps {
public:
    SetNetSteps(const Options& options, const std::vector<const InventoryBoard*>& boards,
                std::vector<qfclient::Call>& calls)
        : options_(options), boards_(boards), state_(boards.size()) {
        for (std::size_t i = 0; i < calls.size(); ++i)
            state_[i].verifySec = calls[i].verifyGatewaySec;
        if (options_.force) return;
        applies_ = std::move(calls);
        calls.clear();
        // The question's uuid is the apply's with a suffix: as fresh, without another draw
        // from the random source.
        for (const qfclient::Call& apply : applies_) {
            const std::string uuid =
                apply.uuid && apply.uuid->isString() ? apply.uuid->asString() : qfclient::newUuid();
            calls.push_back(
                qfclient::requestCall(qfclient::netConfRequest(uuid + "-in-force", true)));
        }
    }

    std::optional<qfclient::Call> next(std::size_t i, const qfclient::Result& r) override {
        Board& b = state_[i];
        if (options_.force || b.asked || r.outcome != Outcome::Ok) return std::nullopt;
        b.asked = true;
        b.askedMs = r.elapsedMs;
        if (!compareInForce(*boards_[i]->network, r.root, b.drift, b.problem)) return std::nullopt;
        if (options_.check || b.drift.state == Drift::State::InSync) return std::nullopt;
        b.applied = true;
        return std::move(applies_[i]);
    }

    void finish(std::size_t i, const qfclient::Result& r, BoardResult& result,
                Json::Value& line) override {
        Board& b = state_[i];
        const bool told = b.asked && b.problem.empty() && b.drift.state != Drift::State::CannotTell;
        if (b.applied || options_.force) {
            result.change = applyChange(r, told);
            result.elapsedMs += b.askedMs;
            std::string note;
            if (r.outcome == Outcome::Ok || r.outcome == Outcome::Failed) {
                qfclient::Call call;
                call.cmd = qf::kCmdSetNetConf;
                call.verifyGatewaySec = b.verifySec;
                note = applyNote(call, r.root);
            }
            const char* what = result.change == Change::Changed     ? "changed: "
                               : result.change == Change::Unchanged ? "unchanged: "
                               : b.asked && !told ? "applied, the board cannot tell what it ran: "
                                                  : "";
            result.details = what + result.details + (note.empty() ? "" : "; " + note);
        } else if (!b.asked) {
            // The question itself went unanswered or failed.
            result.details = "asking what it runs: " + result.details;
        } else if (!b.problem.empty()) {
            result.outcome = Outcome::Malformed;
            result.details = "the board's reply: " + b.problem;
        } else if (b.drift.state == Drift::State::CannotTell) {
            result.change = Change::NotKnown;
            result.details =
                "cannot tell: the board does not report what it runs (an earlier version)";
        } else {
            const bool differs = b.drift.state == Drift::State::Differs;
            result.change = differs ? Change::Changed : Change::Unchanged;
            std::string names;
            for (const Drift::Difference& d : b.drift.differences)
                names += (names.empty() ? "" : ", ") + d.value;
            if (b.drift.moreDifferences > 0)
                names += " and " + std::to_string(b.drift.moreDifferences) + " more";
            result.details = !differs         ? (options_.check ? "in sync" : "unchanged")
                             : options_.check ? "would change: " + names
                                              : "differs: " + names;
        }
        if (options_.diff && told) result.diff = diffLines(b.drift);
        line["outcome"] = qfclient::outcomeName(result.outcome);
        line["exit_status"] = exitStatus(result.outcome);
        line["elapsed_seconds"] = static_cast<double>(result.elapsedMs) / 1000.0;
        if (!b.problem.empty()) line["detail"] = b.problem;
        line["changed"] = changedJson(result.change);
        line["differences"] = told ? differencesJson(b.drift) : Json::Value();
        if (told) line["in_force"] = b.drift.inForce;
        line["network"] = b.asked ? b.drift.network : networkAsRun(*boards_[i]->network);
        b = Board();  // what stays of the board is its result
    }

    int status(const std::vector<BoardResult>& results) const override {
        const auto any = [&](Change c) {
            return std::any_of(results.begin(), results.end(),
                               [c](const BoardResult& r) { return r.change == c; });
        };
        const int status = fleetStatus(results);
        if (!options_.check) return status;
        // Drift is told whatever else happened; a board that cannot tell is no success.
        if (any(Change::Changed)) return kExitDrift;
        return status == kExitOk && any(Change::NotKnown) ? kExitFailed : status;
    }

    std::string summary(const std::vector<BoardResult>& results) const override {
        const auto count = [&](Change c) {
            return std::to_string(
                std::count_if(results.begin(), results.end(),
                              [c](const BoardResult& r) { return r.change == c; }));
        };
        if (options_.check) {
            return "; " + count(Change::Changed) + " would change, " + count(Change::Unchanged) +
                   " in sync, " + count(Change::NotKnown) + " cannot tell";
        }
        return "; " + count(Change::Changed) + " changed, " + count(Change::Unchanged) +
               " unchanged, " + count(Change::NotKnown) + " not known";
    }

private:
    // What a board's steps know between its calls.
    struct Board {
        bool asked = false;    // its answer to the question is in `drift` (or `problem`)
        bool applied = false;  // the apply was sent
        long long askedMs = 0;
        int verifySec = 0;
        Drift drift;
        std::string problem;  // the answer has an in_force of a kind no board sends
    };

    const Options& options_;
    const std::vector<const InventoryBoard*>& boards_;
    std::vector<qfclient::Call> applies_;
    std::vector<Board> state_;
};

}  // namespace

std::unique_ptr<FleetSteps> setNetSteps(const Options& options,
                                        const std::vector<const InventoryBoard*>& boards,
                                        std::vector<qfclient::Call>& calls) {
    return std::make_unique<SetNetSteps>(options, boards, calls);
}

}  // namespace ctl
