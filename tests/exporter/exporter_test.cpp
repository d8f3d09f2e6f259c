// SPDX-License-Identifier: Apache-2.0
// The built quillferry-exporter against boards the tests play (console servers on loopback
// ports, a local pty): what a scrape gets from a board that answers, never answers, answers
// garbage or whose line another client holds; requests it refuses; two scrapers at once; a
// scraper that gives up early; the inventory read again with a bad file; TLS, client
// certificates and basic authentication.
#include <crypt.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <cstdlib>
#include <fstream>
#include <future>
#include <regex>

#include "exporter_process.h"
#include "fake_console.h"
#include "raw_pty.h"
#include "scratch_dir.h"

namespace {

// A console server whose board answers the status query with `values` after `delayMs`.
FakeConsole::Script statBoard(const std::string& values, int delayMs = 0) {
    return [=](int fd) {
        const std::string request = FakeConsole::readLine(fd);
        const std::size_t at = request.find("\"uuid\":");
        if (at == std::string::npos) return;
        const std::string uuid = request.substr(at + 7, request.find('}', at) - at - 7);
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        FakeConsole::write(
            fd, "{\"cmd\":\"get_stat\"," + values + ",\"ret_val\":0,\"uuid\":" + uuid + "}\n");
        FakeConsole::awaitClose(fd);
    };
}

bool has(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

class Exporter : public ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        if (std::system("command -v curl >/dev/null && command -v openssl >/dev/null") != 0) {
            if (std::getenv("CI") != nullptr) GTEST_FAIL() << "curl or openssl is missing";
            GTEST_SKIP() << "curl or openssl is missing (tools/install-deps board)";
        }
    }
    // An inventory of boards {name, line}.
    std::string inventory(const std::vector<std::pair<std::string, std::string>>& boards,
                          const char* file = "inventory.json") {
        std::string text = "{\"boards\": [";
        for (const auto& [name, line] : boards) {
            text.append(text.back() == '[' ? "" : ",\n").append("{\"name\": \"").append(name);
            text.append("\", \"line\": \"").append(line).append("\"}");
        }
        return put(file, (text + "]}\n").c_str());
    }
    // Every exporter a test started ends in order, with nothing found by the sanitizers.
    void TearDown() override {
        for (const auto& e : started_) {
            EXPECT_EQ(e->stop(), 0) << e->log();
            EXPECT_EQ(e->log().find("Sanitizer"), std::string::npos) << e->log();
            EXPECT_EQ(e->log().find("runtime error"), std::string::npos) << e->log();
        }
        ScratchDir::TearDown();
    }
    ExporterProcess* start(std::vector<std::string> args) {
        started_.push_back(std::make_unique<ExporterProcess>(
            QF_EXPORTER_PATH, std::move(args),
            path("exporter" + std::to_string(started_.size()) + ".log")));
        return started_.back().get();
    }
    HttpAnswer get(const ExporterProcess& e, const std::string& path,
                   const std::string& options = "", const char* scheme = "http") {
        return httpGet(e.url(path, scheme), this->path("body" + std::to_string(++requests_)),
                       options);
    }
    // A scrape as Prometheus makes it, with its time limit.
    HttpAnswer scrape(const ExporterProcess& e, const std::string& target, double limit = 1,
                      const char* module = "stat") {
        return get(e, "/probe?target=" + target + "&module=" + module,
                   "-H 'X-Prometheus-Scrape-Timeout-Seconds: " + std::to_string(limit) + "'");
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
        std::vector<std::string> lines;
        std::vector<std::string> absent;
    } cases[] = {
        {"cold",
         {"quillferry_board_up{board=\"cold\"} 1",
          "quillferry_board_temperature_celsius{board=\"cold\"} -5",
          "quillferry_board_cpu_power_limited{board=\"cold\"} 0",
          "quillferry_board_network_configured{board=\"cold\"} 1", "quillferry_probe_success 1"},
         {}},
        {"silent",
         {"quillferry_board_up{board=\"silent\"} 0", "quillferry_probe_success 0"},
         {"quillferry_board_round_trip_seconds"}},
        {"garbage",
         {"quillferry_board_up{board=\"garbage\"} 0", "quillferry_probe_success 0"},
         {"quillferry_board_temperature_celsius"}},
        {"busy",
         {"quillferry_board_line_busy{board=\"busy\"} 1", "quillferry_probe_success 0"},
         {"quillferry_board_up"}},
        {"absent", {"quillferry_board_up{board=\"absent\"} 0"}, {}},
    };
    for (const auto& c : cases) {
        const HttpAnswer a = scrape(*e, c.target);
        EXPECT_EQ(a.status, 200) << c.target;
        EXPECT_LT(a.seconds, 1.0) << c.target;
        for (const std::string& line : c.lines)
            EXPECT_TRUE(has(a.body, line)) << line << "\n" << a.body;
        for (const std::string& name : c.absent)
            EXPECT_EQ(a.body.find("\n" + name), std::string::npos) << name << "\n" << a.body;
    }
    const HttpAnswer own = get(*e, "/metrics");
    EXPECT_TRUE(has(own.body, "quillferry_exporter_lines_busy_total 1")) << own.body;
    EXPECT_TRUE(
        has(own.body, "quillferry_exporter_probes_total{module=\"stat\",outcome=\"timeout\"} 2"))
        << own.body;
    EXPECT_EQ(own.body.find("quillferry_board_"), std::string::npos);
}

// Only the inventory's boards are targets, and every refusal is a one-line reason; the
// boards are listed for service discovery.
TEST_F(Exporter, RequestsItRefusesAndWhatItLists) {
    const auto e =
        start({"--inventory", inventory({{"b1", "/nonexistent/a"}, {"b2", "tcp:127.0.0.1:1"}})});
    const std::pair<std::string, std::pair<int, const char*>> cases[] = {
        {"/probe?target=10.0.0.1:22",
         {400, "Unknown target \"10.0.0.1:22\": not in the inventory\n"}},
        {"/probe?target=%1b%5b2J", {400, "Unknown target \"\\x1b[2J\": not in the inventory\n"}},
        {"/probe", {400, "The target parameter is missing\n"}},
        {"/probe?target=b1&target=b2", {400, "The target parameter is given more than once\n"}},
        {"/probe?target=b1&module=http_2xx", {400, "Unknown module \"http_2xx\": probe or stat\n"}},
        {"/nothing", {404, "Not found: /nothing\n"}},
        {"/-/healthy", {200, "QuillFerry exporter is healthy.\n"}},
        {"/-/ready", {200, "QuillFerry exporter is ready.\n"}},
        {"/sd",
         {200,
          "[\n{\"labels\":{},\"targets\":[\"b1\"]},\n{\"labels\":{},\"targets\":[\"b2\"]}\n]\n"}},
    };
    for (const auto& [path, expected] : cases) {
        const HttpAnswer a = get(*e, path);
        EXPECT_EQ(a.status, expected.first) << path;
        EXPECT_EQ(a.body, expected.second) << path;
    }
    EXPECT_NE(get(*e, "/").body.find("<a href=\"/metrics\">"), std::string::npos);
    EXPECT_EQ(get(*e, "/metrics", "-X POST -d x").status, 405);
    // Nothing was connected to: the one scrape of an address is refused before any line.
    EXPECT_EQ(get(*e, "/metrics").body.find("quillferry_exporter_probes_total{"),
              std::string::npos);
}

// Two Prometheus servers scrape the same board at once: one probe (the console server takes
// one client), both answered with it.
TEST_F(Exporter, TwoScrapersAtOnceShareOneProbe) {
    FakeConsole slow(statBoard(R"("cpu_pwr_lmt":0,"cpu_temp":55000,"netconf":0)", 300));
    const auto e = start({"--inventory", inventory({{"b1", slow.address()}})});
    auto first = std::async(std::launch::async, [&] { return scrape(*e, "b1", 2); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const HttpAnswer second = scrape(*e, "b1", 2);
    const HttpAnswer one = first.get();
    for (const HttpAnswer* a : {&one, &second}) {
        EXPECT_EQ(a->status, 200);
        EXPECT_TRUE(has(a->body, "quillferry_board_up{board=\"b1\"} 1")) << a->body;
        EXPECT_TRUE(has(a->body, "quillferry_board_cpu_power_limited{board=\"b1\"} 1")) << a->body;
    }
    const std::string own = get(*e, "/metrics").body;
    EXPECT_TRUE(has(own, "quillferry_exporter_scrapes_joined_total 1")) << own;
    EXPECT_TRUE(has(own, "quillferry_exporter_probes_total{module=\"stat\",outcome=\"ok\"} 1"))
        << own;
}

// A scraper that gives up before the answer leaves nothing behind: the probe ends in its own
// time, the exporter answers the next scrapes; one whose probe cannot finish within its time
// is answered without it while the probe goes on.
TEST_F(Exporter, ScrapesThatGiveUpEarly) {
    FakeConsole silent([](int fd) { FakeConsole::awaitClose(fd); });
    FakeConsole late(statBoard(R"("cpu_pwr_lmt":100,"cpu_temp":40000,"netconf":0)", 800));
    const auto e =
        start({"--inventory", inventory({{"silent", silent.address()}, {"late", late.address()}}),
               "--timeout-offset", "0"});
    EXPECT_EQ(get(*e, "/probe?target=silent",
                  "--max-time 0.2 -H 'X-Prometheus-Scrape-Timeout-Seconds: 1'")
                  .status,
              0);
    // The late board answers after 800 ms: a scrape of 2 s gets its answer; one of 0.4 s that
    // joins it is answered without it, while the probe goes on for the first.
    auto patient = std::async(std::launch::async, [&] { return scrape(*e, "late", 2); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const HttpAnswer early = scrape(*e, "late", 0.4);
    EXPECT_EQ(early.status, 200);
    EXPECT_LT(early.seconds, 0.6);
    EXPECT_TRUE(has(early.body, "quillferry_probe_success 0")) << early.body;
    EXPECT_EQ(early.body.find("quillferry_board_up"), std::string::npos) << early.body;
    const HttpAnswer answered = patient.get();
    EXPECT_TRUE(has(answered.body, "quillferry_board_up{board=\"late\"} 1")) << answered.body;
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(get(*e, "/-/healthy").status, 200);
    const std::string own = get(*e, "/metrics").body;
    EXPECT_TRUE(has(own, "quillferry_exporter_scrapes_gave_up_total 1")) << own;
    EXPECT_TRUE(has(own, "quillferry_exporter_scrapes_waiting 0")) << own;
}

// SIGHUP reads the inventory again: a bad file is refused, the boards read before stay and the
// refusal is logged and counted; a good one takes over.
TEST_F(Exporter, TheInventoryReadAgainOnSighup) {
    const std::string file = inventory({{"old", "/nonexistent/a"}});
    const auto e = start({"--inventory", file});
    put("inventory.json", R"({"boards": [{"name": "new", "line": "tcp:nowhere"}]})");
    e->signal(SIGHUP);
    std::string own;
    for (int i = 0; i < 50 && !has(own, "quillferry_exporter_inventory_last_reload_successful 0");
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        own = get(*e, "/metrics").body;
    }
    EXPECT_TRUE(has(own, "quillferry_exporter_inventory_reloads_total{result=\"failure\"} 1"))
        << own;
    EXPECT_NE(e->log().find("refused: keeping the 1 boards read before"), std::string::npos)
        << e->log();
    EXPECT_NE(e->log().find("line 1: board \"new\""), std::string::npos) << e->log();
    EXPECT_EQ(scrape(*e, "old").status, 200);
    EXPECT_EQ(scrape(*e, "new").status, 400);

    inventory({{"new", "/nonexistent/b"}});
    e->signal(SIGHUP);
    for (int i = 0; i < 50 && !has(own, "quillferry_exporter_inventory_last_reload_successful 1");
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        own = get(*e, "/metrics").body;
    }
    EXPECT_TRUE(has(own, "quillferry_exporter_inventory_reloads_total{result=\"success\"} 1"))
        << own;
    EXPECT_EQ(scrape(*e, "new").status, 200);
    EXPECT_EQ(scrape(*e, "old").status, 400);
    e->stop();
}

// What cannot be used at start is refused with its reason: a bad inventory or web
// configuration (64), an address taken (69).
TEST_F(Exporter, RefusesToStartOnWhatItCannotUse) {
    const std::string good = inventory({{"b1", "/nonexistent/a"}});
    const std::string bad = put("bad.json", R"({"boards": []})");
    const std::string web = put("web.yml", "basic_auth_users:\n  p: plain\n");
    const auto run = [&](const std::string& args) {
        const int status =
            std::system((std::string(QF_EXPORTER_PATH) + " " + args + " 2>" + path("err")).c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(run("--inventory " + bad), 64);
    EXPECT_NE(contents("err").find("lists no board"), std::string::npos) << contents("err");
    EXPECT_EQ(run("--inventory " + good + " --web.config.file " + web), 64);
    EXPECT_NE(contents("err").find("not a bcrypt hash"), std::string::npos) << contents("err");
    const auto e = start({"--inventory", good});
    EXPECT_EQ(
        run("--inventory " + good + " --web.listen-address 127.0.0.1:" + std::to_string(e->port())),
        69);
    EXPECT_NE(contents("err").find("cannot listen"), std::string::npos) << contents("err");
    EXPECT_EQ(run("--web.listen-address nowhere"), 64);
}

class ExporterSecured : public Exporter {
protected:
    void SetUp() override {
        Exporter::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        // A CA, the server's certificate for 127.0.0.1 and a client's, all signed by it.
        const std::string script = "cd '" + dir_ + R"(' && set -e
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }
key ca.key && openssl req -x509 -key ca.key -out ca.crt -days 2 -subj /CN=test-ca 2>/dev/null
for who in server client; do
  key $who.key
  openssl req -new -key $who.key -out $who.csr -subj /CN=$who -addext subjectAltName=IP:127.0.0.1 2>/dev/null
  openssl x509 -req -in $who.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out $who.crt -days 2 -copy_extensions copy 2>/dev/null
done
key stranger.key && openssl req -x509 -key stranger.key -out stranger.crt -days 2 -subj /CN=stranger 2>/dev/null
)";
        ASSERT_EQ(std::system(script.c_str()), 0);
    }
    static std::string bcrypt(const char* password) {
        char setting[CRYPT_GENSALT_OUTPUT_SIZE];
        crypt_data data{};
        crypt_gensalt_rn("$2y$", 4, nullptr, 0, setting, sizeof(setting));
        return crypt_rn(password, setting, &data, sizeof(data));
    }
};

// TLS with basic authentication: the right user and password get through (checked once,
// then remembered), anything else is asked for them; plain HTTP gets nothing.
TEST_F(ExporterSecured, TlsAndBasicAuthentication) {
    const std::string web = put("web.yml", ("tls_server_config:\n  cert_file: server.crt\n"
                                            "  key_file: server.key\nbasic_auth_users:\n"
                                            "  prometheus: " +
                                            bcrypt("s3cret") + "\n")
                                               .c_str());
    const auto e =
        start({"--inventory", inventory({{"b1", "/nonexistent/a"}}), "--web.config.file", web});
    const std::string tls = "--cacert '" + path("ca.crt") + "' ";
    EXPECT_EQ(get(*e, "/-/healthy", tls + "-u prometheus:s3cret", "https").status, 200);
    EXPECT_EQ(get(*e, "/probe?target=b1", tls + "-u prometheus:s3cret", "https").status, 200);
    for (const char* wrong : {"-u prometheus:s3cre", "-u nobody:s3cret", ""}) {
        const HttpAnswer a = get(*e, "/metrics", tls + wrong, "https");
        EXPECT_EQ(a.status, 401) << wrong;
        EXPECT_EQ(a.body.find("quillferry"), std::string::npos) << wrong;
    }
    EXPECT_EQ(get(*e, "/-/healthy", "-u prometheus:s3cret").status, 0);
    EXPECT_EQ(get(*e, "/-/healthy", "-u prometheus:s3cret", "https").status, 0);  // not trusted
    const std::string own = get(*e, "/metrics", tls + "-u prometheus:s3cret", "https").body;
    EXPECT_TRUE(has(own, "quillferry_exporter_http_responses_total{code=\"401\"} 3")) << own;
}

// A client certificate signed by the configured CA is required: none, or another's, is
// refused.
TEST_F(ExporterSecured, ClientCertificatesRequired) {
    const std::string web = put("web.yml",
                                "tls_server_config:\n  cert_file: server.crt\n"
                                "  key_file: server.key\n"
                                "  client_auth_type: RequireAndVerifyClientCert\n"
                                "  client_ca_file: ca.crt\n  min_version: TLS13\n");
    const auto e =
        start({"--inventory", inventory({{"b1", "/nonexistent/a"}}), "--web.config.file", web});
    const std::string tls = "--cacert '" + path("ca.crt") + "' ";
    const std::string client =
        tls + "--cert '" + path("client.crt") + "' --key '" + path("client.key") + "'";
    EXPECT_EQ(get(*e, "/-/ready", client, "https").status, 200);
    EXPECT_EQ(get(*e, "/-/ready", tls, "https").status, 403);
    EXPECT_EQ(
        get(*e, "/-/ready",
            tls + "--cert '" + path("stranger.crt") + "' --key '" + path("stranger.key") + "'",
            "https")
            .status,
        403);
    // TLS 1.2 is not offered.
    EXPECT_EQ(get(*e, "/-/ready", client + " --tls-max 1.2", "https").status, 0);
}

}  // namespace
