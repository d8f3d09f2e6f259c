// SPDX-License-Identifier: Apache-2.0
// A board's line is used by one probe at a time.
#include "exporter/probe_hub.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "core/fd_io.h"
#include "fake_console.h"
#include "golden.h"

namespace {

using exporter::Module;
using qfclient::Outcome;

struct Events : exporter::ProbeEvents {
    void probed(Module /*module*/, const qfclient::Result& result, double /*seconds*/) override {
        outcomes.push_back(result.outcome);
    }
    std::vector<Outcome> outcomes;
};

// Runs the loop with the hub's deadlines until `done` holds (or 5 s pass).
class HubLoop : public qfclient::Loop::Watcher {
public:
    HubLoop() : hub(loop, events) { loop.watch(this); }
    ~HubLoop() override { loop.watch(nullptr); }
    long long prepare(std::vector<pollfd>& /*fds*/) override {
        const long long d = hub.nearestDeadline();
        return d < 0 ? monotonicMs() + 50 : d;
    }
    void ready(const std::vector<pollfd>& /*fds*/) override { hub.expire(monotonicMs()); }
    template <typename F>
    void runUntil(F done) {
        const long long until = monotonicMs() + 5000;
        while (!done() && monotonicMs() < until) loop.serve();
    }

    qfclient::Loop loop;
    Events events;
    exporter::ProbeHub hub;
};

ctl::InventoryBoard board(const std::string& name, const std::string& address) {
    ctl::InventoryBoard b;
    b.name = name;
    std::string error;
    EXPECT_TRUE(qfclient::parseAddress(address, b.line, error)) << error;
    return b;
}

// A scrape of the other module waits for the probe under way, then has its own; a board that
// never answers is a timeout within the scrape's time.
TEST(ExporterProbeHub, OneProbeAtATimePerBoard) {
    FakeConsole console([](int fd) {
        // One client only, as a console server's port.
        if (FakeConsole::readLine(fd).empty()) return;
        FakeConsole::write(fd, std::string(golden::kAck));
        FakeConsole::awaitClose(fd);
    });
    FakeConsole silent([](int fd) { FakeConsole::awaitClose(fd); });
    HubLoop h;
    const ctl::InventoryBoard b = board("b1", console.address());
    const ctl::InventoryBoard s = board("s1", silent.address());
    // Each scrape's result, once it has one.
    std::optional<qfclient::Result> results[3];
    bool done[3] = {};
    const auto into = [&](int i) {
        return [&, i](const std::optional<qfclient::Result>& r) {
            results[i] = r;
            done[i] = true;
        };
    };
    const long long start = monotonicMs();
    h.hub.join(b, Module::Probe, start + 2000, into(0));
    EXPECT_FALSE(h.hub.join(b, Module::Stat, start + 600, into(1)));
    h.hub.join(s, Module::Stat, start + 600, into(2));
    EXPECT_EQ(h.hub.probing(), 2u);
    h.runUntil([&] { return done[0] && done[1] && done[2]; });
    ASSERT_TRUE(results[0] && results[1] && results[2]);
    EXPECT_EQ(results[0]->outcome, Outcome::Ok) << results[0]->detail;
    // The second connection finds the console gone (it served one): not this line's probe.
    EXPECT_NE(results[1]->outcome, Outcome::Ok);
    EXPECT_EQ(results[2]->outcome, Outcome::Timeout) << results[2]->detail;
    EXPECT_LT(monotonicMs() - start, 700);
    EXPECT_EQ(h.hub.waiting(), 0u);
}

}  // namespace
