// SPDX-License-Identifier: Apache-2.0
#include "exporter/probe_hub.h"

#include <algorithm>
#include <exception>

#include "core/fd_io.h"

namespace exporter {

namespace {

// The time a probe's line keeps for the answer to reach its scrape.
constexpr long long kAnswerMarginMs = 100;

}  // namespace

const char* moduleName(Module module) {
    return module == Module::Probe ? "probe" : "stat";
}

ProbeHub::~ProbeHub() = default;

bool ProbeHub::join(const ctl::InventoryBoard& board, Module module, long long deadlineMs,
                    Done done) {
    Board& b = boards_[board.name];
    b.line = board.line;  // a board moved by a reload is probed at its new line next time
    const bool joined = b.running == module;
    b.waiters.push_back({module, deadlineMs, std::move(done)});
    if (!b.running) startNext(board.name, b);
    return joined;
}

void ProbeHub::startNext(const std::string& name, Board& board) {
    const long long now = monotonicMs();
    const Module module = board.waiters.front().module;
    long long latest = 0;
    for (const Waiter& w : board.waiters) {
        if (w.module == module) latest = std::max(latest, w.deadlineMs);
    }
    const long long budget = latest - now;
    const int timeoutMs =
        static_cast<int>(std::max(1LL, budget - std::min(kAnswerMarginMs, budget / 10)));
    qfclient::Call call;
    try {
        call = module == Module::Probe
                   ? qfclient::probeCall()
                   : qfclient::requestCall(qfclient::statRequest(qfclient::newUuid()));
    } catch (const std::exception& e) {
        // No random source for the uuid: the scrapes are answered without the probe.
        qfclient::Result r;
        r.outcome = qfclient::Outcome::Unavailable;
        r.detail = std::string("cannot make a uuid: ") + e.what();
        std::vector<Done> dones;
        for (Waiter& w : board.waiters) dones.push_back(std::move(w.done));
        boards_.erase(name);
        for (const Done& d : dones) d(r);
        return;
    }
    auto line = std::make_unique<qfclient::Line>(loop_, board.line);
    line->start(call, timeoutMs, [this, name](const qfclient::Result& r) { finished(name, r); });
    lines_[name] = std::move(line);
    board.running = module;
}

void ProbeHub::finished(const std::string& name, const qfclient::Result& result) {
    const auto line = lines_.find(name);
    if (line != lines_.end()) {
        line->second->close();
        retired_.push_back(std::move(line->second));
        lines_.erase(line);
    }
    const auto found = boards_.find(name);
    if (found == boards_.end()) return;
    Board& board = found->second;
    const Module module = board.running.value_or(Module::Stat);
    board.running.reset();
    events_.probed(module, result, static_cast<double>(result.elapsedMs) / 1000.0);
    std::vector<Done> dones;
    std::vector<Waiter> rest;
    for (Waiter& w : board.waiters) {
        if (w.module == module) {
            dones.push_back(std::move(w.done));
        } else {
            rest.push_back(std::move(w));
        }
    }
    board.waiters = std::move(rest);
    if (board.waiters.empty()) {
        boards_.erase(found);
    } else {
        startNext(name, board);
    }
    for (const Done& d : dones) d(result);
}

long long ProbeHub::nearestDeadline() const {
    long long nearest = -1;
    for (const auto& [name, board] : boards_) {
        for (const Waiter& w : board.waiters)
            nearest = nearest < 0 ? w.deadlineMs : std::min(nearest, w.deadlineMs);
    }
    return nearest;
}

std::size_t ProbeHub::waiting() const {
    std::size_t n = 0;
    for (const auto& [name, board] : boards_) n += board.waiters.size();
    return n;
}

void ProbeHub::expire(long long nowMs) {
    retired_.clear();
    std::vector<Done> dones;
    for (auto it = boards_.begin(); it != boards_.end();) {
        std::vector<Waiter>& waiters = it->second.waiters;
        for (auto w = waiters.begin(); w != waiters.end();) {
            if (w->deadlineMs > nowMs) {
                ++w;
                continue;
            }
            dones.push_back(std::move(w->done));
            w = waiters.erase(w);
        }
        // A board whose scrapes have all gone keeps its probe under way to its own end.
        it = waiters.empty() && !it->second.running ? boards_.erase(it) : std::next(it);
    }
    for (const Done& d : dones) d(std::nullopt);
}

void ProbeHub::abandon() {
    std::vector<Done> dones;
    for (auto& [name, board] : boards_) {
        for (Waiter& w : board.waiters) dones.push_back(std::move(w.done));
        board.waiters.clear();
    }
    for (const Done& d : dones) d(std::nullopt);
}

}  // namespace exporter
