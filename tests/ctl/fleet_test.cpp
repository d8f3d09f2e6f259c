// SPDX-License-Identifier: Apache-2.0
// The fleet command against console servers the test plays on loopback ports, its output
// and its exit statuses.
#include "ctl/fleet.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

#include "captured.h"
#include "fake_console.h"
#include "scratch_dir.h"

namespace {

using qfclient::Outcome;
using std::chrono::milliseconds;

class CtlFleet : public ScratchDir {
protected:
    // Runs `options` on the boards of `inventory`, with standard output /dev/full if `full`.
    Captured run(ctl::Options options, const std::string& inventory, bool full = false) {
        options.inventory = put("inventory.json", inventory.c_str());
        return capture(
            [&](std::FILE* out, std::FILE* err) { return ctl::runFleet(options, out, err); }, full);
    }
};

// Every board at once, each with its own deadline: the board that answers is not held up
// by the one that hangs, and each result is written as soon as it is known.
TEST_F(CtlFleet, EveryBoardAtOnceEachWithItsOwnResult) {
    // Applies only a clear sent as IPv6, the family of its network.
    FakeConsole good([](int fd) {
        const std::string request = FakeConsole::readLine(fd);
        const bool v6 = request.find(R"("ipv6":{"address":"clear")") != std::string::npos;
        FakeConsole::write(fd, std::string("{\"ret_val\":") + (v6 ? "0," : "-1,") +
                                   request.substr(request.find("\"uuid\":")));
        FakeConsole::awaitClose(fd);
    });
    FakeConsole hung([](int fd) { FakeConsole::awaitClose(fd); });
    ctl::Options options;
    options.subcommand = ctl::Subcommand::Clear;
    options.format = ctl::Format::Jsonl;
    options.timeoutMs = 1000;
    std::string inventory = R"({"boards": [{"name": "hung", "line": "HUNG"},
        {"name": "absent", "line": "/nonexistent/tty"},
        {"name": "good", "line": "GOOD", "network": {"address": "fd00::8/64", "gateway": "fd00::1",
         "dns": ["fd00::53"], "idc": "dc1", "soc_ip": "fd00::8", "pod_id": 3}}]})";
    inventory.replace(inventory.find("HUNG"), 4, hung.address());
    inventory.replace(inventory.find("GOOD"), 4, good.address());
    const auto start = std::chrono::steady_clock::now();
    const Captured c = run(options, inventory);
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(1500));
    EXPECT_EQ(c.status, 2) << c.err;
    EXPECT_NE(c.err.find("3 boards: 1 ok, 0 failed, 1 no reply, 1 unavailable, 0 busy"),
              std::string::npos)
        << c.err;
    // As each finished: the board that is not there, the one that answers, the hung one.
    std::istringstream lines(c.out);
    std::vector<Json::Value> results;
    std::string seen;
    for (std::string line; std::getline(lines, line);) {
        ASSERT_TRUE(Json::Reader().parse(line, results.emplace_back())) << line;
        seen += results.back()["name"].asString() + " " + results.back()["outcome"].asString() +
                " " + results.back()["exit_status"].asString() + ", ";
    }
    ASSERT_EQ(seen, "absent unavailable 69, good ok 0, hung timeout 2, ") << c.out;
    EXPECT_EQ(results[1]["reply"]["ret_val"], 0);
    EXPECT_LT(results[1]["elapsed_seconds"].asDouble(), 0.5);
    EXPECT_GE(results[2]["elapsed_seconds"].asDouble(), 1.0);
}

// A board that cannot be given its command stops the whole fleet before anything is sent.
TEST_F(CtlFleet, ABadEntryStopsTheFleet) {
    ctl::Options options;
    options.subcommand = ctl::Subcommand::SetNet;
    const Captured c = run(options, R"({"boards": [{"name": "a", "line": "/nonexistent/tty"}]})");
    EXPECT_EQ(c.status, 64);
    EXPECT_NE(c.err.find("line 1: board \"a\": no \"network\" to apply"), std::string::npos);
    EXPECT_NE(c.err.find("nothing was sent to any board"), std::string::npos) << c.err;
}

// Output that cannot be written fails the command with a status of its own, whatever the
// boards answered; the summary still tells the results.
TEST_F(CtlFleet, OutputThatCannotBeWrittenFailsTheCommand) {
    const std::string absent = R"({"boards": [{"name": "a", "line": "/nonexistent/tty"}]})";
    const char* summary = "1 board: 0 ok, 0 failed, 0 no reply, 1 unavailable, 0 busy";
    ctl::Options options;
    for (const ctl::Format format :
         {ctl::Format::Table, ctl::Format::Jsonl, ctl::Format::Prometheus}) {
        options.format = format;
        const Captured c = run(options, absent, true);
        EXPECT_EQ(c.status, 74) << c.err;
        EXPECT_NE(c.err.find("cannot write the output: No space left on device"), std::string::npos)
            << c.err;
        EXPECT_NE(c.err.find(summary), std::string::npos) << c.err;
    }
    options.output = path("missing/metrics.prom");
    EXPECT_EQ(run(options, absent).status, 74);
}

TEST(CtlFleetOutput, StatusesMetricsAndRows) {
    ctl::InventoryBoard a;
    a.name = "a";
    ctl::InventoryBoard b = a;
    b.name = "b";
    b.network.emplace();
    b.network->idc = "dc\"1";
    b.network->podId = 3;
    const auto result = [](const ctl::InventoryBoard& board, Outcome o, const char* reply = "") {
        ctl::BoardResult r;
        r.board = &board;
        r.result.outcome = o;
        r.result.elapsedMs = 250;
        Json::Reader().parse(reply, r.result.root);
        return r;
    };
    EXPECT_EQ(ctl::fleetStatus({result(a, Outcome::Ok), result(b, Outcome::Ok)}), 0);
    EXPECT_EQ(ctl::fleetStatus({result(a, Outcome::Ok), result(b, Outcome::Failed)}), 1);
    EXPECT_EQ(ctl::fleetStatus({result(a, Outcome::Failed), result(b, Outcome::Dropped)}), 2);
    EXPECT_EQ(ctl::fleetStatus({result(a, Outcome::Busy), result(b, Outcome::Unavailable)}), 2);
    EXPECT_EQ(ctl::fleetStatus({result(a, Outcome::Unavailable), result(b, Outcome::Unavailable)}),
              69);
    EXPECT_EQ(ctl::fleetStatus({result(a, Outcome::Busy), result(b, Outcome::Busy)}), 75);

    // The samples; promtool judges the rest of the format in the fleet system test.
    const std::vector<ctl::BoardResult> stat = {
        result(a, Outcome::Timeout),
        result(b, Outcome::Ok, R"({"cpu_temp":71500,"cpu_pwr_lmt":100,"netconf":2,"ret_val":0})")};
    std::istringstream text(ctl::prometheusText(stat, ctl::Subcommand::Stat));
    std::string samples;
    for (std::string line; std::getline(text, line);) {
        if (line.front() != '#') samples += line + "\n";
    }
    const std::string labels = "{board=\"b\",idc=\"dc\\\"1\",pod=\"3\"}";
    EXPECT_EQ(samples, "quillferry_board_up{board=\"a\"} 0\nquillferry_board_up" + labels +
                           " 1\nquillferry_board_round_trip_seconds" + labels +
                           " 0.25\nquillferry_board_temperature_celsius" + labels +
                           " 71.5\nquillferry_board_cpu_power_limited" + labels +
                           " 0\nquillferry_board_network_configured" + labels + " 0\n");
    EXPECT_EQ(ctl::tableRow(stat[1], ctl::Subcommand::Stat).substr(25),
              "ok              0.250s  cpu_temp=71500 cpu_pwr_lmt=100 netconf=2");
}

}  // namespace
