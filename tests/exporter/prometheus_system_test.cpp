// SPDX-License-Identifier: Apache-2.0
// Debian's Prometheus with the shipped configuration, rules and dashboard on three daemons: a
// local line whose zones read below zero, one behind ser2net, one behind ser2net and dead.
#include <gtest/gtest.h>
#include <json/json.h>

#include <cmath>
#include <regex>

#include "board.h"
#include "exporter_process.h"
#include "inventory_text.h"
#include "scratch_dir.h"
#include "ser2net.h"

namespace {

using qftest::SimulatedBoard;

class PrometheusSystem : public ScratchDirOver<qftest::BoardTest> {
protected:
    void SetUp() override {
        ScratchDirOver<qftest::BoardTest>::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        QF_REQUIRE(missingProgram({"prometheus", "ser2net", "curl", "promtool"}));
    }
    void TearDown() override {
        prometheus_.stop();
        ScratchDirOver<qftest::BoardTest>::TearDown();
    }

    // An instant query through Prometheus' HTTP API: the results, null when it failed.
    Json::Value query(const std::string& promql) {
        const HttpAnswer a = httpGet(
            "http://127.0.0.1:" + std::to_string(port_) + "/api/v1/query", path("query.json"),
            "--data-urlencode 'query=" + std::regex_replace(promql, std::regex("'"), "'\\''") +
                "'");
        Json::Value v;
        Json::Reader().parse(a.body, v);
        return a.status == 200 && v["status"] == "success" ? v["data"]["result"] : Json::Value();
    }
    // The value of the single sample `promql` gives; NaN when it gives none or several.
    double value(const std::string& promql) {
        const Json::Value r = query(promql);
        if (r.size() != 1) return std::nan("");
        return std::stod(r[0]["value"][1].asString());
    }
    // Expects `promql` to give `expected`, within ten seconds: a scrape that timed out on a
    // loaded machine is followed by one that did not.
    void expectValue(const std::string& promql, double expected) {
        double last = value(promql);
        for (int i = 0; i < 40 && last != expected; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            last = value(promql);
        }
        EXPECT_EQ(last, expected) << promql;
    }
    // Waits (up to `seconds`) until `promql` gives `count` samples.
    bool waitFor(const std::string& promql, unsigned count, int seconds) {
        for (int i = 0; i < seconds * 4; ++i) {
            if (query(promql).size() == count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
        return false;
    }

    int port_ = 0;
    Spawned prometheus_;
};

TEST_F(PrometheusSystem, PrometheusSeesEachBoardAsItIs) {
    SimulatedBoard local;
    SimulatedBoard raw;
    SimulatedBoard dead;
    // Every thermal zone of the local board below zero.
    for (int zone : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 24})
        local.putFile("sys/class/thermal/thermal_zone" + std::to_string(zone) + "/temp",
                      zone == 7 ? "-5000\n" : "-12500\n");
    local.startDaemon();
    raw.startDaemon();
    dead.startDaemon();
    dead.stopDaemon();
    const qftest::Cable localCable(local);
    const qftest::Cable rawCable(raw);
    const qftest::Cable deadCable(dead);
    const Ser2net ser2net(dir_, {{rawCable.device()}, {deadCable.device()}});
    const std::string network = networkMember("10.0.1.8/24", "10.0.1.1", "dc1", 2);
    const std::string tcp = "tcp:127.0.0.1:";
    const std::string inventory = put(
        "inventory.json", inventoryText({{"local", localCable.device(), network},
                                         {"raw", tcp + std::to_string(ser2net.port(0)), network},
                                         {"dead", tcp + std::to_string(ser2net.port(1)),
                                          networkMember("10.0.1.8/24", "10.0.1.1", "dc2", 2)}}));
    ExporterProcess exporter({"--inventory", inventory}, path("exporter.log"));

    // The shipped scrape configuration and rules, pointed at this exporter, every second.
    const std::string packaging = std::string(QF_SOURCE_DIR) + "/packaging/";
    const std::string config =
        "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n  evaluation_interval: 1s\n"
        "rule_files:\n  - " +
        packaging + "quillferry-exporter-rules.yml\n" +
        std::regex_replace(qftest::readText(packaging + "prometheus-quillferry.yml"),
                           std::regex("exporter\\.example:9817"),
                           "127.0.0.1:" + std::to_string(exporter.port()));
    port_ = Spawned::freePort();
    prometheus_.start(
        {"prometheus", "--config.file=" + put("prometheus.yml", config),
         "--storage.tsdb.path=" + path("data"),
         "--web.listen-address=127.0.0.1:" + std::to_string(port_), "--log.level=warn"},
        path("prometheus.log"), true);

    ASSERT_TRUE(waitFor("quillferry_board_up", 3, 60))
        << contents("prometheus.log") << exporter.log();
    ASSERT_TRUE(waitFor("up{job=\"quillferry-boards\"} == 1", 3, 10));
    // The dead board's samples come once its probe has timed out.
    ASSERT_TRUE(waitFor("quillferry_board_up == 0", 1, 10));
    expectValue("quillferry_board_up{board=\"local\",idc=\"dc1\",pod=\"2\",instance=\"local\"}", 1);
    expectValue("quillferry_board_up{board=\"raw\",job=\"quillferry-boards\"}", 1);
    expectValue("quillferry_board_up{board=\"dead\",idc=\"dc2\"}", 0);
    expectValue("quillferry_board_line_busy{board=\"raw\"}", 0);
    expectValue("quillferry_probe_success{board=\"dead\"}", 0);
    expectValue("quillferry_board_temperature_celsius{board=\"local\"}", -5);
    expectValue("quillferry_board_temperature_celsius{board=\"raw\"}", 36);
    EXPECT_TRUE(std::isnan(value("quillferry_board_temperature_celsius{board=\"dead\"}")));
    expectValue("quillferry_board_cpu_power_limited{board=\"raw\"}", 0);
    expectValue("up{job=\"quillferry-exporter\"}", 1);
    expectValue("quillferry_exporter_inventory_boards", 3);

    // The dead board's alert is pending (its duration has not passed) or firing; no other.
    ASSERT_TRUE(waitFor("ALERTS{alertname=\"QuillferryBoardDown\"}", 1, 10));
    EXPECT_EQ(query("ALERTS{alertname=\"QuillferryBoardDown\"}")[0]["metric"]["board"], "dead");
    // None of the others, once every job has been scraped.
    EXPECT_TRUE(
        waitFor("ALERTS{alertname=~\"QuillferryExporterDown|QuillferryProbesFailing|"
                "QuillferryBoardLineBusy|QuillferryBoardHot\"}",
                0, 10))
        << Json::FastWriter().write(query("ALERTS"));
    // The recording rules.
    ASSERT_TRUE(waitFor("idc:quillferry_boards_up:sum", 2, 10));
    expectValue("idc:quillferry_boards_up:sum{idc=\"dc1\"}", 2);
    expectValue("idc:quillferry_boards:count{idc=\"dc2\"}", 1);

    // Every dashboard query evaluates; all but rates (two scrapes needed) give samples.
    Json::Value dashboard;
    ASSERT_TRUE(
        Json::Reader().parse(qftest::readText(packaging + "quillferry-dashboard.json"), dashboard));
    int queries = 0;
    for (const Json::Value& panel : dashboard["panels"]) {
        for (const Json::Value& target : panel["targets"]) {
            const std::string expr = std::regex_replace(
                std::regex_replace(target["expr"].asString(), std::regex("\\$(idc|board)"), ".*"),
                std::regex("\\$__rate_interval"), "1m");
            const Json::Value result = query(expr);
            EXPECT_TRUE(result.isArray()) << panel["title"] << ": " << expr;
            EXPECT_TRUE(expr.find("rate(") != std::string::npos || !result.empty()) << expr;
            ++queries;
        }
    }
    EXPECT_GE(queries, 10);
    // Both expositions as promtool reads them.
    for (const char* endpoint : {"/probe?target=local", "/metrics"}) {
        EXPECT_EQ(httpGet(exporter.url(endpoint), path("exposition.prom")).status, 200);
        EXPECT_EQ(std::system(("promtool check metrics <" + path("exposition.prom")).c_str()), 0)
            << contents("exposition.prom");
    }
    EXPECT_EQ(exporter.stop(), 0) << exporter.log();
}

}  // namespace
