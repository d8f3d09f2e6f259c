// SPDX-License-Identifier: Apache-2.0
// What a board's status values mean as metrics, a busy line and a probe that did not finish.
#include "ctl/board_metrics.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

using qfclient::Outcome;

Json::Value parsed(const std::string& text) {
    Json::Value v;
    EXPECT_TRUE(Json::Reader().parse(text, v)) << text;
    return v;
}

// The samples of an exposition, without its comments.
std::string samples(const std::string& text) {
    return std::regex_replace(text, std::regex("^#.*\n", std::regex::multiline), "");
}

// Millidegrees in 32 bits sent unsigned, 0 no reading; the power limit 100 or 0; netconf 1 or 0.
// Anything else gives no reading rather than a number made up.
TEST(BoardMetrics, StatusValuesAreReadAsTheBoardMeansThem) {
    const struct {
        const char* reply;
        std::optional<double> celsius;
        std::optional<bool> limited;
        std::optional<bool> configured;
    } cases[] = {
        {R"({"cpu_temp":45000,"cpu_pwr_lmt":100,"netconf":0})", 45.0, false, false},
        {R"({"cpu_temp":71500,"cpu_pwr_lmt":0,"netconf":1})", 71.5, true, true},
        // Every zone below zero: -5000 as its unsigned 32-bit form; a signed form means the same.
        {R"({"cpu_temp":4294962296})", -5.0, {}, {}},
        {R"({"cpu_temp":4294967295})", -0.001, {}, {}},
        {R"({"cpu_temp":2147483647})", 2147483.647, {}, {}},
        {R"({"cpu_temp":-5000})", -5.0, {}, {}},
        {R"({"cpu_temp":41000.0})", 41.0, {}, {}},
        // No zone gave a number.
        {R"({"cpu_temp":0,"cpu_pwr_lmt":100})", {}, false, {}},
        // Below absolute zero, beyond 32 bits, not whole, not a number.
        {R"({"cpu_temp":2147483648})", {}, {}, {}},
        {R"({"cpu_temp":4294967296})", {}, {}, {}},
        {R"({"cpu_temp":-2147483649})", {}, {}, {}},
        {R"({"cpu_temp":18446744073709551615})", {}, {}, {}},
        {R"({"cpu_temp":41.5,"cpu_pwr_lmt":55,"netconf":2})", {}, {}, {}},
        {R"({"cpu_temp":"41000","cpu_pwr_lmt":"100","netconf":true})", {}, {}, {}},
        {R"({"cpu_temp":1e300,"cpu_pwr_lmt":-100,"netconf":-1})", {}, {}, {}},
        {R"([45000])", {}, {}, {}},
    };
    for (const auto& c : cases) {
        const ctl::StatReadings r = ctl::readStat(parsed(c.reply));
        EXPECT_EQ(r.temperatureCelsius, c.celsius) << c.reply;
        EXPECT_EQ(r.powerLimited, c.limited) << c.reply;
        EXPECT_EQ(r.networkConfigured, c.configured) << c.reply;
    }
}

// A busy line is neither up nor down, no answer no round trip, no reading no sample; a probe
// that did not finish has only its own samples. Labels are escaped.
TEST(BoardMetrics, SamplesByOutcome) {
    ctl::InventoryBoard board;
    board.name = "b1";
    const auto metrics = [&](Outcome o, const char* reply = "{}") {
        ctl::BoardMetrics m;
        m.board = &board;
        m.outcome = o;
        m.elapsedMs = 120;
        if (o == Outcome::Ok) m.stat = ctl::readStat(parsed(reply));
        return samples(ctl::boardMetricsText({m}, true));
    };
    EXPECT_EQ(metrics(Outcome::Busy), "quillferry_board_line_busy{board=\"b1\"} 1\n");
    EXPECT_EQ(metrics(Outcome::Timeout),
              "quillferry_board_up{board=\"b1\"} 0\nquillferry_board_line_busy{board=\"b1\"} 0\n");
    EXPECT_EQ(metrics(Outcome::Malformed),
              "quillferry_board_up{board=\"b1\"} 0\n"
              "quillferry_board_line_busy{board=\"b1\"} 0\n"
              "quillferry_board_round_trip_seconds{board=\"b1\"} 0.12\n");
    EXPECT_EQ(metrics(Outcome::Ok, R"({"cpu_temp":4294962296,"cpu_pwr_lmt":7,"netconf":1})"),
              "quillferry_board_up{board=\"b1\"} 1\n"
              "quillferry_board_line_busy{board=\"b1\"} 0\n"
              "quillferry_board_round_trip_seconds{board=\"b1\"} 0.12\n"
              "quillferry_board_temperature_celsius{board=\"b1\"} -5\n"
              "quillferry_board_network_configured{board=\"b1\"} 1\n");

    board.network.emplace();
    board.network->idc = "dc\"1";
    board.network->podId = 4;
    EXPECT_EQ(samples(ctl::probeMetricsText(board, std::nullopt, false, 2.5)),
              "quillferry_probe_success 0\nquillferry_probe_duration_seconds 2.5\n");
    ctl::BoardMetrics ok;
    ok.outcome = Outcome::Ok;
    ok.elapsedMs = 30;
    EXPECT_EQ(samples(ctl::probeMetricsText(board, ok, false, 0.031)),
              "quillferry_board_up{board=\"b1\",idc=\"dc\\\"1\",pod=\"4\"} 1\n"
              "quillferry_board_line_busy{board=\"b1\",idc=\"dc\\\"1\",pod=\"4\"} 0\n"
              "quillferry_board_round_trip_seconds{board=\"b1\",idc=\"dc\\\"1\",pod=\"4\"} 0.03\n"
              "quillferry_probe_success 1\nquillferry_probe_duration_seconds 0.031\n");
}

}  // namespace
