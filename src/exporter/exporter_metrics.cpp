// SPDX-License-Identifier: Apache-2.0
#include "exporter/exporter_metrics.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "core/fd_io.h"
#include "ctl/board_metrics.h"

namespace exporter {

namespace {

class Writer {
public:
    void family(const char* name, const char* type, const char* help) {
        text_ +=
            std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void sample(const std::string& name, const std::string& labels, double value) {
        text_ += name + (labels.empty() ? "" : "{" + labels + "}") + " " + ctl::sampleValue(value) +
                 "\n";
    }
    std::string text() { return std::move(text_); }

private:
    std::string text_;
};

// A small system file's text, empty when it cannot be read.
std::string readSmall(const char* path) {
    const UniqueFd fd = openRegularFile(path);
    std::string text;
    if (fd.valid()) readUpTo(fd.get(), 4096, text);
    return text;
}

}  // namespace

void Histogram::observe(double seconds) {
    for (std::size_t i = 0; i < kDurationBuckets.size(); ++i) {
        if (seconds <= kDurationBuckets[i]) {
            ++buckets[i];
            break;
        }
    }
    ++count;
    sum += seconds;
}

void ExporterCounters::probed(Module module, const qfclient::Result& result, double seconds) {
    ++probes[{moduleName(module), qfclient::outcomeName(result.outcome)}];
    durations[moduleName(module)].observe(seconds);
    if (result.outcome == qfclient::Outcome::Busy) ++linesBusy;
}

ProcessFigures readProcessFigures() {
    // The start as this process saw it (a sandbox may hide the system's boot time).
    static const double started =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    ProcessFigures f;
    f.startSeconds = started;
    const long ticks = ::sysconf(_SC_CLK_TCK);
    const long page = ::sysconf(_SC_PAGESIZE);
    // /proc/self/stat: the fields after the command's closing parenthesis.
    const std::string stat = readSmall("/proc/self/stat");
    const std::size_t close = stat.rfind(')');
    if (close != std::string::npos && ticks > 0) {
        std::istringstream fields(stat.substr(close + 2));
        std::vector<std::string> v;
        for (std::string field; fields >> field;) v.push_back(field);
        // Fields 14, 15 (utime, stime), 23 (vsize), 24 (rss), counted from 1 with the state
        // (field 3) first here.
        if (v.size() > 21) {
            f.cpuSeconds =
                (std::strtod(v[11].c_str(), nullptr) + std::strtod(v[12].c_str(), nullptr)) /
                static_cast<double>(ticks);
            f.virtualBytes = std::strtod(v[20].c_str(), nullptr);
            f.residentBytes = std::strtod(v[21].c_str(), nullptr) * static_cast<double>(page);
        }
    }
    if (DIR* d = ::opendir("/proc/self/fd")) {
        for (const dirent* e = ::readdir(d); e != nullptr; e = ::readdir(d)) {
            if (e->d_name[0] != '.') f.openFds += 1;
        }
        ::closedir(d);
        f.openFds -= 1;  // the folder's own descriptor
    }
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0) f.maxFds = static_cast<double>(files.rlim_cur);
    return f;
}

std::string exporterMetricsText(const ExporterCounters& c, const ProcessFigures& p,
                                const std::string& version) {
    Writer w;
    w.family("quillferry_exporter_build_info", "gauge", "The exporter's version.");
    w.sample("quillferry_exporter_build_info", "version=\"" + ctl::labelValue(version) + "\"", 1);
    w.family("quillferry_exporter_probes_total", "counter",
             "Probes of boards by module and outcome (ok, failed, malformed, timeout, dropped, "
             "busy, unavailable).");
    for (const auto& [key, n] : c.probes)
        w.sample("quillferry_exporter_probes_total",
                 "module=\"" + key.first + "\",outcome=\"" + key.second + "\"",
                 static_cast<double>(n));
    w.family("quillferry_exporter_probe_duration_seconds", "histogram",
             "How long probes of boards took, by module.");
    for (const auto& [module, h] : c.durations) {
        std::uint64_t cumulative = 0;
        const std::string m = "module=\"" + module + "\"";
        for (std::size_t i = 0; i < kDurationBuckets.size(); ++i) {
            cumulative += h.buckets[i];
            w.sample("quillferry_exporter_probe_duration_seconds_bucket",
                     m + ",le=\"" + ctl::sampleValue(kDurationBuckets[i]) + "\"",
                     static_cast<double>(cumulative));
        }
        w.sample("quillferry_exporter_probe_duration_seconds_bucket", m + ",le=\"+Inf\"",
                 static_cast<double>(h.count));
        w.sample("quillferry_exporter_probe_duration_seconds_sum", m, h.sum);
        w.sample("quillferry_exporter_probe_duration_seconds_count", m,
                 static_cast<double>(h.count));
    }
    const auto counter = [&](const char* name, const char* help, std::uint64_t n) {
        w.family(name, "counter", help);
        w.sample(name, "", static_cast<double>(n));
    };
    const auto gauge = [&](const char* name, const char* help, double v) {
        w.family(name, "gauge", help);
        w.sample(name, "", v);
    };
    counter("quillferry_exporter_lines_busy_total",
            "Probes that found the board's line held by another client.", c.linesBusy);
    counter("quillferry_exporter_scrapes_joined_total",
            "Scrapes that shared a probe already under way for the same board.", c.scrapesJoined);
    counter("quillferry_exporter_scrapes_gave_up_total",
            "Scrapes answered without their probe, which did not finish within their time.",
            c.scrapesGaveUp);
    gauge("quillferry_exporter_probes_under_way", "Probes of boards under way now.",
          static_cast<double>(c.probesUnderWay));
    gauge("quillferry_exporter_scrapes_waiting", "Scrapes waiting for their probe now.",
          static_cast<double>(c.scrapesWaiting));
    gauge("quillferry_exporter_inventory_boards", "Boards in the inventory in use.",
          static_cast<double>(c.boards));
    w.family("quillferry_exporter_inventory_reloads_total", "counter",
             "Readings of the inventory on SIGHUP, by result.");
    w.sample("quillferry_exporter_inventory_reloads_total", "result=\"success\"",
             static_cast<double>(c.reloadsOk));
    w.sample("quillferry_exporter_inventory_reloads_total", "result=\"failure\"",
             static_cast<double>(c.reloadsFailed));
    gauge("quillferry_exporter_inventory_last_reload_successful",
          "Whether the inventory was last read without fault (1) or refused (0).",
          c.lastReloadOk ? 1 : 0);
    gauge("quillferry_exporter_inventory_last_reload_success_timestamp_seconds",
          "When the inventory in use was read, in seconds since the epoch.",
          c.lastReloadSuccessSeconds);
    w.family("quillferry_exporter_http_responses_total", "counter",
             "HTTP responses by status code.");
    for (const auto& [code, n] : c.responses)
        w.sample("quillferry_exporter_http_responses_total",
                 "code=\"" + std::to_string(code) + "\"", static_cast<double>(n));
    w.family("process_cpu_seconds_total", "counter", "User and system CPU time, in seconds.");
    w.sample("process_cpu_seconds_total", "", p.cpuSeconds);
    gauge("process_resident_memory_bytes", "Resident memory, in bytes.", p.residentBytes);
    gauge("process_virtual_memory_bytes", "Virtual memory, in bytes.", p.virtualBytes);
    gauge("process_start_time_seconds", "Start of the process, in seconds since the epoch.",
          p.startSeconds);
    gauge("process_open_fds", "Open file descriptors.", p.openFds);
    gauge("process_max_fds", "Most file descriptors the process may open.", p.maxFds);
    return w.text();
}

}  // namespace exporter
