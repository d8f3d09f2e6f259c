// SPDX-License-Identifier: Apache-2.0
// The exporter's own metrics: probes by module and outcome, their durations, its process.
#include "exporter/exporter_metrics.h"

#include <gtest/gtest.h>

#include "exporter_process.h"

namespace {

TEST(ExporterMetrics, ProbesByOutcomeAndTheirDurations) {
    exporter::ExporterCounters c;
    const auto probed = [&](exporter::Module m, qfclient::Outcome o, double seconds) {
        qfclient::Result r;
        r.outcome = o;
        c.probed(m, r, seconds);
    };
    probed(exporter::Module::Stat, qfclient::Outcome::Ok, 0.02);
    probed(exporter::Module::Stat, qfclient::Outcome::Ok, 0.3);
    probed(exporter::Module::Stat, qfclient::Outcome::Busy, 0.001);
    probed(exporter::Module::Probe, qfclient::Outcome::Timeout, 9);
    c.responses[200] = 3;
    exporter::ProcessFigures p;
    p.openFds = 7;
    const std::string text = exporter::exporterMetricsText(c, p, "1.2.3");
    for (const char* line : {
             "quillferry_exporter_build_info{version=\"1.2.3\"} 1",
             "quillferry_exporter_probes_total{module=\"stat\",outcome=\"ok\"} 2",
             "quillferry_exporter_probes_total{module=\"stat\",outcome=\"busy\"} 1",
             "quillferry_exporter_probes_total{module=\"probe\",outcome=\"timeout\"} 1",
             "quillferry_exporter_probe_duration_seconds_bucket{module=\"stat\",le=\"0.01\"} 1",
             "quillferry_exporter_probe_duration_seconds_bucket{module=\"stat\",le=\"0.025\"} 2",
             "quillferry_exporter_probe_duration_seconds_bucket{module=\"stat\",le=\"0.25\"} 2",
             "quillferry_exporter_probe_duration_seconds_bucket{module=\"stat\",le=\"0.5\"} 3",
             "quillferry_exporter_probe_duration_seconds_bucket{module=\"stat\",le=\"+Inf\"} 3",
             "quillferry_exporter_probe_duration_seconds_count{module=\"stat\"} 3",
             "quillferry_exporter_probe_duration_seconds_sum{module=\"stat\"} 0.321",
             "quillferry_exporter_probe_duration_seconds_bucket{module=\"probe\",le=\"5\"} 0",
             "quillferry_exporter_probe_duration_seconds_bucket{module=\"probe\",le=\"+Inf\"} 1",
             "quillferry_exporter_lines_busy_total 1",
             "quillferry_exporter_http_responses_total{code=\"200\"} 3",
             "quillferry_exporter_inventory_last_reload_successful 1",
             "process_open_fds 7",
         })
        EXPECT_TRUE(hasLine(text, line)) << line << "\n" << text;
    // Read from /proc (where qemu-user gives 0 for all but the descriptors and the start).
    const exporter::ProcessFigures own = exporter::readProcessFigures();
    if (own.virtualBytes > 0) {
        EXPECT_GT(own.residentBytes, 1e5);
    }
    EXPECT_GT(own.openFds, 2);
    EXPECT_GT(own.startSeconds, 1.6e9);
}

}  // namespace
