// SPDX-License-Identifier: Apache-2.0
// The exporter's own metrics (its /metrics, never a board's): probes by module and outcome
// and their durations, scrapes that shared a probe or gave up on one, lines found busy, the
// inventory's reloads, HTTP answers by status, and the process's own figures.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>

#include "exporter/probe_hub.h"
#include "quillferry/line.h"

namespace exporter {

// Upper bounds of the probe duration histogram's buckets, in seconds.
inline constexpr std::array<double, 9> kDurationBuckets = {0.01, 0.025, 0.05, 0.1, 0.25,
                                                           0.5,  1,     2.5,  5};

struct Histogram {
    std::array<std::uint64_t, kDurationBuckets.size()> buckets{};  // not cumulative
    std::uint64_t count = 0;
    double sum = 0;
    void observe(double seconds);
};

struct ExporterCounters {
    // (module, outcome) → probes.
    std::map<std::pair<std::string, std::string>, std::uint64_t> probes;
    std::map<std::string, Histogram> durations;  // by module
    std::uint64_t linesBusy = 0;
    std::uint64_t scrapesJoined = 0;
    std::uint64_t scrapesGaveUp = 0;
    std::uint64_t reloadsOk = 0;
    std::uint64_t reloadsFailed = 0;
    bool lastReloadOk = true;
    double lastReloadSuccessSeconds = 0;  // since the epoch
    std::size_t boards = 0;
    std::map<int, std::uint64_t> responses;  // by HTTP status
    std::size_t probesUnderWay = 0;
    std::size_t scrapesWaiting = 0;

    void probed(Module module, const qfclient::Result& result, double seconds);
};

// The process's own figures, as Prometheus' client libraries name them.
struct ProcessFigures {
    double cpuSeconds = 0;
    double residentBytes = 0;
    double virtualBytes = 0;
    double startSeconds = 0;  // since the epoch
    double openFds = 0;
    double maxFds = 0;
};

// Read from /proc/self; figures that cannot be read stay 0.
ProcessFigures readProcessFigures();

// The text exposition of both.
std::string exporterMetricsText(const ExporterCounters& counters, const ProcessFigures& process,
                                const std::string& version);

}  // namespace exporter
