// SPDX-License-Identifier: Apache-2.0
// The probes of scrapes, shared: at most one probe per board is under way (a board's line is
// one client's at a time), and scrapes of the same board and module at the same moment (two
// Prometheus servers) join it instead of fighting over the line. Each scrape has its own
// deadline: one whose probe has not finished by then is answered without it, while the probe
// goes on for the others. A scrape of the other module waits for the board's probe under way
// and then has its own.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ctl/inventory.h"
#include "quillferry/line.h"

namespace exporter {

enum class Module { Probe, Stat };
const char* moduleName(Module module);

// What the hub reports of its probes, for the exporter's own metrics.
struct ProbeEvents {
    virtual ~ProbeEvents() = default;
    // A probe finished with `result` after `seconds`.
    virtual void probed(Module module, const qfclient::Result& result, double seconds) = 0;
};

class ProbeHub {
public:
    // A scrape's answer: the probe's result, or none when it did not finish in time.
    using Done = std::function<void(const std::optional<qfclient::Result>& result)>;

    ProbeHub(qfclient::Loop& loop, ProbeEvents& events) : loop_(loop), events_(events) {}
    ~ProbeHub();
    ProbeHub(const ProbeHub&) = delete;
    ProbeHub& operator=(const ProbeHub&) = delete;

    // Starts the probe of `board` with `module`, or joins the one under way, for a scrape
    // that must be answered by `deadlineMs` (monotonicMs()). `done` is called once, from the
    // loop or from expire() or abandon(), never from within join(). Returns whether the
    // scrape joined a probe already under way.
    bool join(const ctl::InventoryBoard& board, Module module, long long deadlineMs, Done done);

    // The nearest deadline of a waiting scrape, or -1.
    long long nearestDeadline() const;
    // Answers the scrapes whose deadline has come without their probe; lets go of the lines
    // of finished probes. Called once a round, after the round's results.
    void expire(long long nowMs);
    // Answers every waiting scrape without its probe (the exporter stops).
    void abandon();

    std::size_t waiting() const;
    std::size_t probing() const { return lines_.size(); }

private:
    struct Waiter {
        Module module;
        long long deadlineMs;
        Done done;
    };
    struct Board {
        qfclient::LineAddress line;
        std::optional<Module> running;
        std::vector<Waiter> waiters;
    };
    void startNext(const std::string& name, Board& board);
    void finished(const std::string& name, const qfclient::Result& result);

    qfclient::Loop& loop_;
    ProbeEvents& events_;
    std::map<std::string, Board> boards_;
    // The line of each board with a probe under way; lines of finished probes wait in
    // retired_ until the round is over (a line is not destroyed from its own callback).
    std::map<std::string, std::unique_ptr<qfclient::Line>> lines_;
    std::vector<std::unique_ptr<qfclient::Line>> retired_;
};

}  // namespace exporter
