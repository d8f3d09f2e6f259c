// SPDX-License-Identifier: Apache-2.0
// One subcommand on many boards at once: every board's line in one event loop, each call
// with its own deadline, and the results as a table, JSON lines or Prometheus metrics.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "ctl/board_metrics.h"
#include "ctl/inventory.h"
#include "ctl/options.h"
#include "quillferry/line.h"

namespace ctl {

// What the output needs of one board's result, kept until the end of the run: a few short
// texts and numbers (the metrics' among them), never the reply itself.
struct BoardResult : BoardMetrics {
    // The table's details: the reply's essential values (or "alive"), or why there are none;
    // escaped and cut short.
    std::string details;
    // set-net: what it did to the board's configuration, or with --check would do; None when
    // the board gave no answer that tells.
    enum class Change { None, Changed, Unchanged, NotKnown };
    Change change = Change::None;
    // --diff: each value that differs, a line each, escaped.
    std::vector<std::string> diff;
};

// A fleet command of more than one call per board (set-net, which asks each board what it
// runs first): the calls that follow on the same line, and the board's result made of them.
class FleetSteps {
public:
    virtual ~FleetSteps() = default;
    // The call that follows `result` of board `i` on its line, or none: the board is done.
    virtual std::optional<qfclient::Call> next(std::size_t i, const qfclient::Result& result) = 0;
    // Completes the board's result and its JSON line from the last call's `result`.
    virtual void finish(std::size_t i, const qfclient::Result& result, BoardResult& board,
                        Json::Value& line) = 0;
    // The exit status of the run, and what the summary line adds ("; 2 changed, ...").
    virtual int status(const std::vector<BoardResult>& results) const = 0;
    virtual std::string summary(const std::vector<BoardResult>& results) const = 0;
};

// The result of `board` as the output needs it. Reads every reply member by its type: a
// reply of any shape gives a result.
BoardResult digest(const InventoryBoard& board, const qfclient::Result& result,
                   Subcommand subcommand);

// The exit status of a fleet: 0 when every board answered 0; 69 or 75 when every board was
// unavailable, or busy; otherwise 2 when some board did not answer, 1 when some answered a
// failure.
int fleetStatus(const std::vector<BoardResult>& results);

// "5 boards: 3 ok, 1 failed, 1 no reply, 0 unavailable, 0 busy".
std::string summaryLine(const std::vector<BoardResult>& results);

// One row of the table (without newline).
std::string tableRow(const BoardResult& r);
// One JSON line (with its newline), written as the board finishes.
std::string jsonLine(const InventoryBoard& board, const qfclient::Result& result);
// The same line as a JSON object.
Json::Value jsonObject(const InventoryBoard& board, const qfclient::Result& result);

// The Prometheus text exposition of probe or stat results.
std::string prometheusText(const std::vector<BoardResult>& results, Subcommand subcommand);

// Runs the command `options` describe on the inventory's boards. Returns the exit status.
int runFleet(const Options& options, std::FILE* out, std::FILE* err);

}  // namespace ctl
