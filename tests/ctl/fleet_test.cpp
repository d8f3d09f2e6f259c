// The fleet command against console servers the test plays on loopback ports, and its
// summaries.
#include "ctl/fleet.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "captured.h"
#include "fake_console.h"
#include "scratch_dir.h"

namespace {

using qfclient::Outcome;

Captured runFleet(const ctl::Options& options) {
    return capture(
        [&](std::FILE* out, std::FILE* err) { return ctl::runFleet(options, out, err); });
}

// Answers the stat request with the reply the board would give.
void answerStat(int fd) {
    const std::string request = FakeConsole::readLine(fd);
    const std::size_t at = request.find("\"uuid\":");
    FakeConsole::write(
        fd, R"({"cmd":"get_stat","cpu_pwr_lmt":0,"cpu_temp":71500,"netconf":1,"ret_val":0,)" +
                request.substr(at));
    FakeConsole::awaitClose(fd);
}

class CtlFleet : public ScratchDir {};

// A hung line, one that sends garbage, one that never stops sending and one that is not
// there: each gets its own result, and none holds up the board that answers.
TEST_F(CtlFleet, OneBoardsTroubleNeverDelaysAnother) {
    FakeConsole good(answerStat);
    FakeConsole hung([](int fd) { FakeConsole::awaitClose(fd); });
    FakeConsole garbage([](int fd) {
        FakeConsole::readLine(fd);
        FakeConsole::write(fd, std::string("\xff\x00{\"uuid\":", 9) + "\n" +
                                   R"({"ret_val":0,"uuid":"other"})"
                                   "\n");
        FakeConsole::awaitClose(fd);
    });
    FakeConsole flood([](int fd) {
        const std::string block(4096, 'z');
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < end &&
               ::send(fd, block.data(), block.size(), MSG_NOSIGNAL) > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const std::string inventory = R"({"boards": [{"name": "hung", "line": ")" + hung.address() +
                                  R"("},
 {"name": "garbage", "line": ")" + garbage.address() +
                                  R"("},
 {"name": "flood", "line": ")" + flood.address() +
                                  R"("},
 {"name": "absent", "line": "/nonexistent/tty"},
 {"name": "good", "line": ")" + good.address() +
                                  R"(",
  "network": {"address": "10.0.0.8/24", "gateway": "10.0.0.1", "dns": ["10.0.0.53"],
              "idc": "dc\"1", "soc_ip": "10.0.0.8", "pod_id": 3}}]})";
    ctl::Options options;
    options.subcommand = ctl::Subcommand::Stat;
    options.inventory = put("inventory.json", inventory.c_str());
    options.format = ctl::Format::Jsonl;
    options.timeoutMs = 1500;
    const auto start = std::chrono::steady_clock::now();
    const Captured c = runFleet(options);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(c.status, 2) << c.err;
    EXPECT_LT(took, std::chrono::milliseconds(2500));
    EXPECT_NE(c.err.find("5 boards: 1 ok, 0 failed, 3 no reply, 1 unavailable, 0 busy"),
              std::string::npos)
        << c.err;

    // As each finishes: the board that answers first, the one that is not there before it.
    std::istringstream lines(c.out);
    std::vector<Json::Value> results;
    for (std::string line; std::getline(lines, line);) {
        Json::Value v;
        ASSERT_TRUE(Json::Reader().parse(line, v)) << line;
        results.push_back(v);
    }
    ASSERT_EQ(results.size(), 5u) << c.out;
    EXPECT_EQ(results[0]["name"], "absent");
    EXPECT_EQ(results[0]["exit_status"], 69);
    EXPECT_EQ(results[1]["name"], "good");
    EXPECT_EQ(results[1]["reply"]["cpu_temp"], 71500);
    EXPECT_LT(results[1]["elapsed_seconds"].asDouble(), 0.5);
    for (std::size_t i = 2; i < results.size(); ++i) {
        EXPECT_EQ(results[i]["outcome"], "timeout") << results[i];
        EXPECT_GE(results[i]["elapsed_seconds"].asDouble(), 1.5) << results[i];
    }
}

TEST(CtlFleetOutput, SummariesAndMetrics) {
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
    const auto status = [](std::vector<ctl::BoardResult> rs) { return ctl::fleetStatus(rs); };
    EXPECT_EQ(status({result(a, Outcome::Ok), result(b, Outcome::Ok)}), 0);
    EXPECT_EQ(status({result(a, Outcome::Ok), result(b, Outcome::Failed)}), 1);
    EXPECT_EQ(status({result(a, Outcome::Failed), result(b, Outcome::Dropped)}), 2);
    EXPECT_EQ(status({result(a, Outcome::Busy), result(b, Outcome::Unavailable)}), 2);
    EXPECT_EQ(status({result(a, Outcome::Unavailable), result(b, Outcome::Unavailable)}), 69);
    EXPECT_EQ(status({result(a, Outcome::Busy), result(b, Outcome::Busy)}), 75);

    const std::vector<ctl::BoardResult> stat = {
        result(a, Outcome::Timeout),
        result(b, Outcome::Ok, R"({"cpu_temp":71500,"cpu_pwr_lmt":100,"netconf":2,"ret_val":0})")};
    EXPECT_EQ(ctl::prometheusText(stat, ctl::Subcommand::Stat),
              "# HELP quillferry_board_up Whether the board answered (1) or not (0).\n"
              "# TYPE quillferry_board_up gauge\n"
              "quillferry_board_up{board=\"a\"} 0\n"
              "quillferry_board_up{board=\"b\",idc=\"dc\\\"1\",pod=\"3\"} 1\n"
              "# HELP quillferry_board_round_trip_seconds Time from opening the board's line to "
              "its reply, in seconds.\n"
              "# TYPE quillferry_board_round_trip_seconds gauge\n"
              "quillferry_board_round_trip_seconds{board=\"b\",idc=\"dc\\\"1\",pod=\"3\"} 0.25\n"
              "# HELP quillferry_board_temperature_celsius The board's hottest thermal zone, in "
              "degrees Celsius.\n"
              "# TYPE quillferry_board_temperature_celsius gauge\n"
              "quillferry_board_temperature_celsius{board=\"b\",idc=\"dc\\\"1\",pod=\"3\"} 71.5\n"
              "# HELP quillferry_board_cpu_power_limited Whether a CPU cluster runs below its top "
              "frequency (1) or none (0).\n"
              "# TYPE quillferry_board_cpu_power_limited gauge\n"
              "quillferry_board_cpu_power_limited{board=\"b\",idc=\"dc\\\"1\",pod=\"3\"} 0\n"
              "# HELP quillferry_board_network_configured Whether the board's network is "
              "configured (1) or not, or cleared (0).\n"
              "# TYPE quillferry_board_network_configured gauge\n"
              "quillferry_board_network_configured{board=\"b\",idc=\"dc\\\"1\",pod=\"3\"} 0\n");
    EXPECT_EQ(ctl::tableRow(stat[1], ctl::Subcommand::Stat).substr(25),
              "ok              0.250s  cpu_temp=71500 cpu_pwr_lmt=100 netconf=2");
}

}  // namespace
