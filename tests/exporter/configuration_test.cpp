// SPDX-License-Identifier: Apache-2.0
// The exporter's command line, its web configuration file and a scrape's time for its probe.
#include <gtest/gtest.h>

#include <sstream>

#include "expect_text.h"
#include "exporter/exporter.h"
#include "exporter/options.h"
#include "exporter/web_config.h"
#include "scratch_dir.h"

namespace {

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

TEST(ExporterOptions, CommandLines) {
    const std::pair<const char*, const char*> refused[] = {
        {"--web.listen-address 9817", "expected HOST:PORT"},
        {"--web.listen-address :99999", "expected HOST:PORT"},
        {"--web.listen-address ::1:80", "expected HOST:PORT"},
        {"--web.listen-address [::1:80", "expected HOST:PORT"},
        {"--web.listen-address a;b:80", "expected HOST:PORT"},
        {"--web.telemetry-path metrics", "absolute path"},
        {"--web.telemetry-path /a?b", "absolute path"},
        {"--web.telemetry-path /probe", "taken by another endpoint"},
        {"--web.telemetry-path /-/healthy", "taken by another endpoint"},
        {"--timeout-offset -1", "0 to 60 seconds"},
        {"--timeout-offset 1s", "0 to 60 seconds"},
        {"--web.max-connections 0", "1 to 65536"},
        {"--inventory", "needs a value"},
        {"--verbose", "unknown option"},
        {"serve", "unexpected argument"},
    };
    for (const auto& [line, error] : refused) {
        const exporter::ParseOutcome p = exporter::parseCommandLine(words(line));
        EXPECT_EQ(p.kind, exporter::ParseOutcome::Kind::UsageError) << line;
        EXPECT_HAS(p.error, error) << line;
    }
    const exporter::ParseOutcome p = exporter::parseCommandLine(
        words("--web.listen-address=[::1]:9900 --web.telemetry-path /own --inventory i.json "
              "--timeout-offset 0.25 --web.config.file w.yml"));
    ASSERT_EQ(p.kind, exporter::ParseOutcome::Kind::Run) << p.error;
    EXPECT_EQ(p.options.listenAddress + p.options.telemetryPath + p.options.webConfigFile,
              "[::1]:9900/ownw.yml");
    EXPECT_EQ(p.options.timeoutOffsetMs, 250);
    EXPECT_EQ(exporter::parseCommandLine({}).options.inventory, "/etc/quillferry/inventory.json");
    EXPECT_EQ(exporter::parseCommandLine({"--help"}).kind, exporter::ParseOutcome::Kind::Help);
}

// The scrape's own limit less the offset, at least half of it, at most two minutes; without
// a usable header the fallback.
TEST(ExporterOptions, ProbeBudgetFollowsTheScrape) {
    const std::pair<std::optional<std::string>, long long> cases[] = {
        {std::nullopt, 5000}, {"10", 9500},  {"0.8", 400}, {"1", 500},
        {"1e9", 119500},      {"0", 5000},   {"-3", 5000}, {"nan", 5000},
        {"inf", 5000},        {"10s", 5000}, {"", 5000},   {"2.5", 2000},
    };
    for (const auto& [header, budget] : cases)
        EXPECT_EQ(exporter::probeBudgetMs(header, 500, 5000), budget) << header.value_or("(none)");
}

class ExporterWebConfig : public ScratchDir {};

constexpr const char* kHash = "$2y$04$abcdefghijklmnopqrstuuHAKnLwHvb6MiG5TAtSg2HQgD2SPq2W.";

TEST_F(ExporterWebConfig, OnlyWhatCanBeAppliedIsTaken) {
    const std::string user = std::string("basic_auth_users:\n  prometheus: ") + kHash + "\n";
    const std::string tls = "tls_server_config:\n  cert_file: a\n  key_file: b\n";
    const std::pair<std::string, const char*> refused[] = {
        {"tls_server_config:\n  cert_file: a\n", "needs cert_file and key_file"},
        {tls + "  cipher_suites: [x]\n", "\"cipher_suites\" is not a member"},
        {tls + "  client_auth_type: RequireAnyClientCert\n", "is not supported"},
        {tls + "  client_auth_type: RequireAndVerifyClientCert\n", "needs client_ca_file"},
        {tls + "  client_ca_file: c\n", "needs client_auth_type"},
        {tls + "  min_version: TLS10\n", "\"TLS10\" is not supported"},
        {tls + "  min_version: TLS13\n  max_version: TLS12\n", "min_version is above max_version"},
        {"tls_server_config:\n  cert_file: [a]\n  key_file: b\n", "cert_file must be a text"},
        {"http_server_config:\n  http2: false\n", "\"http_server_config\" is not a member"},
        {"basic_auth_users:\n  prometheus: secret\n", "is not a bcrypt hash"},
        {"basic_auth_users:\n  prometheus: $1$abc$abcdefghijklmnopqrstuv\n", "not a bcrypt hash"},
        {std::string("basic_auth_users:\n  \"a:b\": ") + kHash + "\n", "is not a user name"},
        {"basic_auth_users:\n  p: $2y$17$abcdefghijklmnopqrstuuHAKnLwHvb6MiG5TAtSg2HQgD2SPq2W.\n",
         "cost of 17"},
        {"basic_auth_users: [a]\n", "must be a mapping"},
        {"- a\n", "must be a mapping"},
        {"a: [\n", "not YAML"},
        {user + user.substr(user.find('\n') + 1), "given twice"},
    };
    for (const auto& [text, error] : refused) {
        exporter::WebConfig config;
        std::string problem;
        EXPECT_FALSE(exporter::parseWebConfig(text, config, problem)) << text;
        EXPECT_HAS(problem, error) << text;
    }

    // Relative paths from the file's folder, the files read whole.
    put("server.crt", "CERT");
    put("server.key", "KEY");
    put("clients.crt", "CA");
    const std::string file =
        put("web.yml",
            "tls_server_config:\n  cert_file: server.crt\n  key_file: " + path("server.key") +
                "\n  client_auth_type: RequireAndVerifyClientCert\n"
                "  client_ca_file: clients.crt\n  min_version: TLS13\n" +
                user);
    exporter::WebConfig config;
    std::string problem;
    ASSERT_TRUE(exporter::loadWebConfig(file, config, problem)) << problem;
    ASSERT_TRUE(config.tls);
    EXPECT_EQ(config.tls->cert + config.tls->key + config.tls->clientCa, "CERTKEYCA");

    // A file it names that is missing, or a folder where a file belongs.
    put("web.yml", "tls_server_config:\n  cert_file: missing.crt\n  key_file: server.key\n");
    EXPECT_FALSE(exporter::loadWebConfig(file, config, problem));
    EXPECT_HAS(problem, "cannot read");
    EXPECT_FALSE(exporter::loadWebConfig(dir_, config, problem));
    // An empty file applies nothing.
    put("web.yml", "");
    EXPECT_TRUE(exporter::loadWebConfig(file, config, problem)) << problem;
    EXPECT_FALSE(config.tls);
    EXPECT_TRUE(config.users.empty());
}

}  // namespace
