// SPDX-License-Identifier: Apache-2.0
// The built quillferry-exporter against boards the tests play on loopback ports and a pty.
#include <gtest/gtest.h>
#include <sys/file.h>

#include <cstdlib>
#include <fstream>
#include <future>
#include <regex>
#include <sstream>
#include <tuple>

#include "expect_text.h"
#include "exporter_process.h"
#include "fake_console.h"
#include "inventory_text.h"
#include "raw_pty.h"
#include "scratch_dir.h"
#include "test_pki.h"

namespace {

// A console server whose board answers the status query with `values` after `delayMs`.
FakeConsole::Script statBoard(const std::string& values, int delayMs = 0) {
    return FakeConsole::replying(
        [=](const std::string& line) {
            return R"({"cmd":"get_stat",)" + values + R"(,"ret_val":0,"uuid":)" +
                   FakeConsole::uuidOf(line) + "}\n";
        },
        "", "", delayMs);
}

class Exporter : public ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        QF_REQUIRE(missingProgram({"curl", "openssl"}));
    }
    std::string inventory(const std::vector<InventoryEntry>& boards) const {
        return put("inventory.json", inventoryText(boards));
    }
    // Every exporter a test started ends in order, with nothing found by the sanitizers.
    void TearDown() override {
        for (const auto& e : started_) {
            EXPECT_EQ(e->stop(), 0) << e->log();
            EXPECT_LACKS(e->log(), "Sanitizer");
            EXPECT_LACKS(e->log(), "runtime error");
        }
        ScratchDir::TearDown();
    }
    ExporterProcess* start(std::vector<std::string> args) {
        const std::string log = path("exporter" + std::to_string(started_.size()) + ".log");
        return started_.emplace_back(std::make_unique<ExporterProcess>(std::move(args), log)).get();
    }
    HttpAnswer get(const ExporterProcess& e, const std::string& path,
                   const std::string& options = "", const char* scheme = "http") {
        return httpGet(e.url(path, scheme), this->path("body" + std::to_string(++requests_)),
                       options);
    }
    // A scrape as Prometheus makes it, with its time limit.
    HttpAnswer scrape(const ExporterProcess& e, const std::string& target, double limit = 1) {
        return get(e, "/probe?target=" + target + "&module=stat",
                   "-H 'X-Prometheus-Scrape-Timeout-Seconds: " + std::to_string(limit) + "'");
    }
    // The exporter's own metrics, once `line` is among them (or a second has passed).
    std::string ownOnce(const ExporterProcess& e, const std::string& line) {
        std::string own;
        for (int i = 0; i < 50 && !hasLine(own, line); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            own = get(e, "/metrics").body;
        }
        return own;
    }

    int requests_ = 0;
    std::vector<std::unique_ptr<ExporterProcess>> started_;
};

// Each board as it is, within the scrape's time: answered (a temperature below zero read as
// such), silent, garbage, busy (another client holds the local line), absent.
TEST_F(Exporter, EachBoardAsItIsWithinTheScrapesTime) {
    FakeConsole cold(statBoard(R"("cpu_pwr_lmt":100,"cpu_temp":4294962296,"netconf":1)"));
    FakeConsole silent([](int fd) { FakeConsole::awaitClose(fd); });
    FakeConsole garbage([](int fd) {
        for (int i = 0; i < 200; ++i) FakeConsole::write(fd, std::string("\xff\x00{{\n\x1b[2J", 8));
        FakeConsole::awaitClose(fd);
    });
    const RawPty pty = openRawPty();
    const UniqueFd other(::open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_EQ(::flock(other.get(), LOCK_EX | LOCK_NB), 0);
    const auto e = start({"--inventory", inventory({{"cold", cold.address()},
                                                    {"silent", silent.address()},
                                                    {"garbage", garbage.address()},
                                                    {"busy", pty.slavePath},
                                                    {"absent", "/nonexistent/tty"}})});
    const struct {
        const char* target;
        const char* samples;  // each line a board sample's name and value
        const char* success;  // the probe's
        const char* none;     // a board sample it does not have
    } cases[] = {
        {"cold", "up 1\ntemperature_celsius -5\ncpu_power_limited 0\nnetwork_configured 1", "1",
         "line_busy{board=\"cold\"} 1"},
        {"silent", "up 0", "0", "round_trip_seconds"},
        {"garbage", "up 0", "0", "temperature_celsius"},
        {"busy", "line_busy 1", "0", "up"},
        {"absent", "up 0", "0", "temperature_celsius"},
    };
    for (const auto& c : cases) {
        const HttpAnswer a = scrape(*e, c.target);
        EXPECT_EQ(a.status, 200) << c.target;
        EXPECT_LT(a.seconds, 1.0) << c.target;
        std::istringstream samples(c.samples);
        for (std::string name, value; samples >> name >> value;) {
            name.append("{board=\"").append(c.target).append("\"} ").append(value);
            EXPECT_TRUE(hasLine(a.body, "quillferry_board_" + name));
        }
        EXPECT_TRUE(hasLine(a.body, std::string("quillferry_probe_success ") + c.success));
        EXPECT_LACKS(a.body, std::string("\nquillferry_board_") + c.none);
    }
    const std::string own = get(*e, "/metrics").body;
    EXPECT_TRUE(hasLine(own, "quillferry_exporter_lines_busy_total 1"));
    EXPECT_TRUE(
        hasLine(own, "quillferry_exporter_probes_total{module=\"stat\",outcome=\"timeout\"} 2"));
    EXPECT_LACKS(own, "quillferry_board_");
}

// Only the inventory's boards are targets, every refusal a one-line reason; the boards are
// listed for service discovery. What cannot be used at start is refused with its reason: a
// bad inventory or web configuration (64), an address taken (69).
TEST_F(Exporter, RequestsItRefusesAndWhatItLists) {
    const std::string good = inventory({{"b1", "/nonexistent/a"}, {"b2", "tcp:127.0.0.1:1"}});
    const auto e = start({"--inventory", good});
    const std::tuple<std::string, int, std::string> cases[] = {
        {"/probe?target=10.0.0.1:22", 400,
         "Unknown target \"10.0.0.1:22\": not in the inventory\n"},
        {"/probe?target=%1b%5b2J", 400, "Unknown target \"\\x1b[2J\": not in the inventory\n"},
        {"/probe", 400, "The target parameter is missing\n"},
        {"/probe?target=b1&target=b2", 400, "The target parameter is given more than once\n"},
        {"/probe?target=b1&module=http_2xx", 400, "Unknown module \"http_2xx\": probe or stat\n"},
        {"/nothing", 404, "Not found: /nothing\n"},
        {"/-/healthy", 200, "QuillFerry exporter is healthy.\n"},
        {"/-/ready", 200, "QuillFerry exporter is ready.\n"},
        {"/sd", 200,
         "[\n{\"labels\":{},\"targets\":[\"b1\"]},\n{\"labels\":{},\"targets\":[\"b2\"]}\n]\n"},
    };
    for (const auto& [path, status, body] : cases) {
        const HttpAnswer a = get(*e, path);
        EXPECT_EQ(a.status, status) << path;
        EXPECT_EQ(a.body, body) << path;
    }
    EXPECT_HAS(get(*e, "/").body, "<a href=\"/metrics\">");
    EXPECT_EQ(get(*e, "/metrics", "-X POST -d x").status, 405);
    // Nothing was connected to: the one scrape of an address is refused before any line.
    EXPECT_LACKS(get(*e, "/metrics").body, "quillferry_exporter_probes_total{");

    const auto run = [&](const std::string& args) {
        // Bounded: an exporter that serves instead of refusing fails here, not at ctest's limit.
        const int status = std::system(
            ("timeout 10 " + std::string(QF_EXPORTER_PATH) + " " + args + " 2>" + path("err"))
                .c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(run("--inventory " + put("bad.json", R"({"boards": []})")), 64);
    EXPECT_HAS(contents("err"), "lists no board");
    EXPECT_EQ(run("--inventory " + good + " --web.config.file " +
                  put("web.yml", "basic_auth_users:\n  p: plain\n")),
              64);
    EXPECT_HAS(contents("err"), "not a bcrypt hash");
    EXPECT_EQ(run("--inventory " + good + " --web.listen-address " + e->url("").substr(7)), 69);
    EXPECT_HAS(contents("err"), "cannot listen");
    EXPECT_EQ(run("--web.listen-address nowhere"), 64);
}

// Scrapes of one board share its probe (the console server takes one client); one that cannot
// wait for it is answered without it, one that gives up leaves nothing behind.
TEST_F(Exporter, ScrapesShareAProbeOrGiveUpEarly) {
    FakeConsole silent([](int fd) { FakeConsole::awaitClose(fd); });
    FakeConsole late(statBoard(R"("cpu_pwr_lmt":0,"cpu_temp":40000,"netconf":0)", 800));
    const auto e =
        start({"--inventory", inventory({{"silent", silent.address()}, {"late", late.address()}}),
               "--timeout-offset", "0"});
    EXPECT_EQ(get(*e, "/probe?target=silent",
                  "--max-time 0.2 -H 'X-Prometheus-Scrape-Timeout-Seconds: 1'")
                  .status,
              0);
    // The late board answers after 800 ms: scrapes of 2 s get its answer, one of 0.4 s not.
    auto first = std::async(std::launch::async, [&] { return scrape(*e, "late", 2); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto second = std::async(std::launch::async, [&] { return scrape(*e, "late", 2); });
    const HttpAnswer early = scrape(*e, "late", 0.4);
    EXPECT_EQ(early.status, 200);
    EXPECT_LT(early.seconds, 0.6);
    EXPECT_TRUE(hasLine(early.body, "quillferry_probe_success 0"));
    EXPECT_LACKS(early.body, "quillferry_board_up");
    for (const HttpAnswer& a : {first.get(), second.get()}) {
        EXPECT_TRUE(hasLine(a.body, "quillferry_board_up{board=\"late\"} 1"));
        EXPECT_TRUE(hasLine(a.body, "quillferry_board_cpu_power_limited{board=\"late\"} 1"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(get(*e, "/-/healthy").status, 200);
    const std::string own = get(*e, "/metrics").body;
    for (const char* line :
         {"quillferry_exporter_scrapes_gave_up_total 1", "quillferry_exporter_scrapes_waiting 0",
          "quillferry_exporter_scrapes_joined_total 2",
          "quillferry_exporter_probes_total{module=\"stat\",outcome=\"ok\"} 1"})
        EXPECT_TRUE(hasLine(own, line));
}

// SIGHUP reads the inventory again: a bad file is refused (logged and counted), the boards read
// before stay; a good one takes over.
TEST_F(Exporter, TheInventoryReadAgainOnSighup) {
    const std::string file = inventory({{"old", "/nonexistent/a"}});
    const auto e = start({"--inventory", file});
    put("inventory.json", R"({"boards": [{"name": "new", "line": "tcp:nowhere"}]})");
    e->signal(SIGHUP);
    std::string own = ownOnce(*e, "quillferry_exporter_inventory_last_reload_successful 0");
    EXPECT_TRUE(hasLine(own, "quillferry_exporter_inventory_reloads_total{result=\"failure\"} 1"));
    EXPECT_HAS(e->log(), "refused: keeping the 1 boards read before");
    EXPECT_HAS(e->log(), "line 1: board \"new\"");
    EXPECT_EQ(scrape(*e, "old").status, 200);
    EXPECT_EQ(scrape(*e, "new").status, 400);

    inventory({{"new", "/nonexistent/b"}});
    e->signal(SIGHUP);
    own = ownOnce(*e, "quillferry_exporter_inventory_last_reload_successful 1");
    EXPECT_TRUE(hasLine(own, "quillferry_exporter_inventory_reloads_total{result=\"success\"} 1"));
    EXPECT_EQ(scrape(*e, "new").status, 200);
    EXPECT_EQ(scrape(*e, "old").status, 400);
    e->stop();
}

// TLS with basic authentication: the right user and password get through, anything else is
// asked for them; where a client certificate of the configured CA is required, none or a
// stranger's is refused, and TLS 1.2 is not offered.
TEST_F(Exporter, TlsBasicAuthenticationAndClientCertificates) {
    const qftest::TestPki pki(dir_);
    const std::string tls =
        "tls_server_config:\n  cert_file: " + pki.server + "\n  key_file: " + pki.serverKey + "\n";
    const std::string inv = inventory({{"b1", "/nonexistent/a"}});
    const auto basic =
        start({"--inventory", inv, "--web.config.file",
               put("basic.yml", tls + "basic_auth_users:\n  prometheus: " + bcrypt("s3cret"))});
    const auto certs = start({"--inventory", inv, "--web.config.file",
                              put("certs.yml", tls +
                                                   "  client_auth_type: RequireAndVerifyClientCert"
                                                   "\n  client_ca_file: " +
                                                   pki.ca + "\n  min_version: TLS13\n")});
    const std::string ca = "--cacert " + pki.ca + " ";
    const std::string user = ca + "-u prometheus:s3cret";
    const std::string client = ca + "--cert " + pki.client + " --key " + pki.clientKey;
    const struct {
        ExporterProcess* e;
        const char* path;
        std::string options;
        const char* scheme;
        int status;
    } cases[] = {
        {basic, "/-/healthy", user, "https", 200},
        {basic, "/probe?target=b1", user, "https", 200},
        {basic, "/metrics", ca + "-u prometheus:s3cre", "https", 401},
        {basic, "/metrics", ca + "-u nobody:s3cret", "https", 401},
        {basic, "/metrics", ca, "https", 401},
        {basic, "/-/healthy", "-u prometheus:s3cret", "http", 0},
        {basic, "/-/healthy", "-u prometheus:s3cret", "https", 0},  // the CA is not trusted
        {certs, "/-/ready", client, "https", 200},
        {certs, "/-/ready", ca, "https", 403},
        {certs, "/-/ready", ca + "--cert " + pki.strangerClient + " --key " + pki.strangerClientKey,
         "https", 403},
        {certs, "/-/ready", client + " --tls-max 1.2", "https", 0},
    };
    for (const auto& c : cases) {
        const HttpAnswer a = get(*c.e, c.path, c.options, c.scheme);
        EXPECT_EQ(a.status, c.status) << c.path << " " << c.options;
        if (c.status != 200) {
            EXPECT_LACKS(a.body, "quillferry") << c.options;
        }
    }
    const std::string own = get(*basic, "/metrics", user, "https").body;
    EXPECT_TRUE(hasLine(own, "quillferry_exporter_http_responses_total{code=\"401\"} 3"));
}

}  // namespace
