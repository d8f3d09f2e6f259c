// SPDX-License-Identifier: Apache-2.0
// Calls on many lines at once in one loop, as a fleet makes them, for the client's tests:
// each line is closed as its result comes.
#pragma once

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "quillferry/line.h"

struct LineCall {
    std::string address;
    qfclient::Call call;
    // The files that secure the line, when it names any.
    std::string ca = "", cert = "", key = "", identity = "", knownHosts = "";
};

// The results of `calls`, in their order, once every one is in.
// `eachRound`, when given, is called after each round of the loop.
inline std::vector<qfclient::Result> callAll(const std::vector<LineCall>& calls, int timeoutMs,
                                             const std::function<void()>& eachRound = nullptr) {
    qfclient::Loop loop;
    std::vector<std::unique_ptr<qfclient::Line>> lines;
    std::vector<std::optional<qfclient::Result>> results(calls.size());
    for (std::size_t i = 0; i < calls.size(); ++i) {
        qfclient::LineAddress address;
        std::string error;
        if (!qfclient::parseAddress(calls[i].address, address, error))
            throw std::invalid_argument(error);
        address.ca = calls[i].ca;
        address.cert = calls[i].cert;
        address.key = calls[i].key;
        address.identity = calls[i].identity;
        address.knownHosts = calls[i].knownHosts;
        lines.push_back(std::make_unique<qfclient::Line>(loop, address));
        lines.back()->start(calls[i].call, timeoutMs, [&, i](const qfclient::Result& r) {
            results[i] = r;
            lines[i]->close();
        });
    }
    loop.runUntil([&] {
        if (eachRound) eachRound();
        return std::all_of(results.begin(), results.end(),
                           [](const auto& r) { return r.has_value(); });
    });
    std::vector<qfclient::Result> all;
    for (std::optional<qfclient::Result>& r : results) all.push_back(std::move(*r));
    return all;
}

// A call's result as a case expects it: its outcome, a piece of its detail, and its time (at
// least `minMs`, less than `maxMs`).
inline void expectResult(const qfclient::Result& r, const std::string& what,
                         qfclient::Outcome outcome, const std::string& detail, long long minMs,
                         long long maxMs) {
    EXPECT_EQ(r.outcome, outcome) << what << ": " << r.detail;
    EXPECT_NE(r.detail.find(detail), std::string::npos) << what << ": " << r.detail;
    EXPECT_GE(r.elapsedMs, minMs) << what;
    EXPECT_LT(r.elapsedMs, maxMs) << what;
}

// The heap in use by the calling thread's arena and in large mapped blocks, in KiB: the
// client's memory when its loop runs on the test's main thread, beside the peers that other
// threads play (each with an arena of its own).
inline long heapKiB() {
    const struct mallinfo2 m = ::mallinfo2();
    return static_cast<long>((m.uordblks + m.hblkhd) / 1024);
}

// Fails the test when the client's heap grows by more than `limitKiB` at any round of the
// loop while the guard lives: what floods make the client hold stays small. Not under ASan,
// whose allocator keeps its own books.
class HeapGuard {
public:
    explicit HeapGuard(long limitKiB) : limitKiB_(limitKiB), before_(heapKiB()), peak_(before_) {}
    ~HeapGuard() {
#ifndef __SANITIZE_ADDRESS__
        EXPECT_LT(peak_ - before_, limitKiB_);
#endif
    }
    HeapGuard(const HeapGuard&) = delete;
    HeapGuard& operator=(const HeapGuard&) = delete;
    // Called each round.
    void sample() {
        peak_ = std::max(peak_, heapKiB());
    }

private:
    long limitKiB_;
    long before_;
    long peak_;
};

// Calls on lines under attack, all at once, and each result as its case expects: the case's
// outcome and detail, to its deadline when it `waits`, well within it otherwise. What the
// floods among them make the client hold stays small. Returns the results.
template <typename Cases>
std::vector<qfclient::Result> expectEachAttackFailsOnlyItsLine(const std::vector<LineCall>& calls,
                                                               const Cases& cases, int timeoutMs) {
    std::vector<qfclient::Result> results;
    {
        HeapGuard bounded(2 * 1024);
        results = callAll(calls, timeoutMs, [&] { bounded.sample(); });
    }
    for (std::size_t i = 0; i < results.size(); ++i) {
        const auto& c = cases[i];
        expectResult(results[i], c.what, c.outcome, c.detail, c.waits ? timeoutMs : 0,
                     c.waits ? timeoutMs + 500 : timeoutMs);
    }
    return results;
}
