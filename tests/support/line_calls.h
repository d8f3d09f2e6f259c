// SPDX-License-Identifier: Apache-2.0
// Calls on many lines at once in one loop, as a fleet makes them, for the client's tests:
// each line is closed as its result comes.
#pragma once

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "expect_text.h"
#include "quillferry/line.h"

struct LineCall {
    std::string address;
    qfclient::Call call = qfclient::probeCall();
    // The files that secure the line, when it names any.
    std::string ca = "", cert = "", key = "", identity = "", knownHosts = "";
};

// The heap in use by the calling thread's arena and in large mapped blocks, in KiB: the
// client's memory, beside the peers that other threads play (each with an arena of its own).
inline long heapKiB() {
    const struct mallinfo2 m = ::mallinfo2();
    return static_cast<long>((m.uordblks + m.hblkhd) / 1024);
}

// The results of `calls`, in their order, once every one is in. What floods make the client
// hold stays small: its heap grows by less than 2 MiB at every round of the loop (unchecked
// under ASan, whose allocator keeps its own books).
inline std::vector<qfclient::Result> callAll(const std::vector<LineCall>& calls, int timeoutMs) {
    qfclient::Loop loop;
    std::vector<std::unique_ptr<qfclient::Line>> lines;
    std::vector<std::optional<qfclient::Result>> results(calls.size());
    const long before = heapKiB();
    long peak = before;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        qfclient::LineAddress a;
        std::string error;
        if (!qfclient::parseAddress(calls[i].address, a, error)) throw std::invalid_argument(error);
        a.ca = calls[i].ca;
        a.cert = calls[i].cert;
        a.key = calls[i].key;
        a.identity = calls[i].identity;
        a.knownHosts = calls[i].knownHosts;
        lines.push_back(std::make_unique<qfclient::Line>(loop, a));
        lines.back()->start(calls[i].call, timeoutMs, [&, i](const qfclient::Result& r) {
            results[i] = r;
            lines[i]->close();
        });
    }
    loop.runUntil([&] {
        peak = std::max(peak, heapKiB());
        return std::all_of(results.begin(), results.end(), [](auto& r) { return r.has_value(); });
    });
#ifndef __SANITIZE_ADDRESS__
    EXPECT_LT(peak - before, 2 * 1024);
#endif
    std::vector<qfclient::Result> all;
    for (std::optional<qfclient::Result>& r : results) all.push_back(std::move(*r));
    return all;
}

// Calls on lines, most of them under attack, all at once, and each result as its row
// expects: the row's outcome and a piece of its detail, at its deadline when it `waits`,
// well within it otherwise. Returns the results.
template <typename Rows>
std::vector<qfclient::Result> expectEach(const std::vector<LineCall>& calls, const Rows& rows,
                                         int timeoutMs) {
    std::vector<qfclient::Result> results = callAll(calls, timeoutMs);
    for (std::size_t i = 0; i < results.size(); ++i) {
        const qfclient::Result& r = results[i];
        EXPECT_EQ(r.outcome, rows[i].outcome) << rows[i].what << ": " << r.detail;
        EXPECT_HAS(r.detail, rows[i].detail) << rows[i].what;
        EXPECT_GE(r.elapsedMs, rows[i].waits ? timeoutMs : 0) << rows[i].what;
        EXPECT_LT(r.elapsedMs, rows[i].waits ? timeoutMs + 500 : timeoutMs) << rows[i].what;
    }
    return results;
}
