// SPDX-License-Identifier: Apache-2.0
// Command line of quillferry-exporter, in the conventions of Prometheus' exporters
// (--web.listen-address, --web.telemetry-path, --web.config.file), and the help text.
#pragma once

#include <string>
#include <vector>

namespace exporter {

inline constexpr const char* kProgramName = "quillferry-exporter";
inline constexpr const char* kDefaultInventory = "/etc/quillferry/inventory.json";
// Exit statuses: a usage error or a configuration that cannot be used, as quillferry-ctl's.
inline constexpr int kExitUsage = 64;
inline constexpr int kExitUnavailable = 69;

struct Options {
    std::string listenAddress = ":9817";  // HOST:PORT, [V6]:PORT or :PORT (every address)
    std::string telemetryPath = "/metrics";
    std::string webConfigFile;  // none: plain HTTP without authentication
    std::string inventory = kDefaultInventory;
    // Taken off the scrape's own time limit, so that the answer reaches Prometheus in time.
    int timeoutOffsetMs = 500;
    // How long a probe may take when the scrape does not say (curl, a browser).
    int defaultTimeoutMs = 5000;
    // HTTP connections at once; more wait in the listen queue.
    int maxConnections = 4096;
};

struct ParseOutcome {
    enum class Kind { Run, Help, Version, UsageError };
    Kind kind = Kind::Run;
    Options options;
    std::string error;  // UsageError: one line
};

ParseOutcome parseCommandLine(const std::vector<std::string>& args);

// Splits HOST:PORT (HOST empty for every address, an IPv6 address in brackets); false with
// `error` when it is not one.
bool splitListenAddress(const std::string& text, std::string& host, std::string& port,
                        std::string& error);

std::string usageText();
std::string versionText();

}  // namespace exporter
