// SPDX-License-Identifier: Apache-2.0
// Benchmark of the daemon on the simulated board (tools/run-bench): request round trips
// against a bare line echo over the same pty, the daemon's peak memory, and its wake-ups
// when idle and without a serial device. Prints a table and writes the figures as JSON.
// The daemon logs into a pipe that a reader process drains, as into the journal's stream in
// service.
//
//   quillferry_bench [--samples N] [--out FILE]
// Exit status: 0 all targets met, 1 a target missed, 2 the measurement failed.
#include <dirent.h>
#include <json/json.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "board.h"
#include "board_conf.h"
#include "core/constants.h"
#include "protocol/json_text.h"

namespace {

using qftest::BoardOptions;
using qftest::SimulatedBoard;
using qftest::Stream;
using Clock = std::chrono::steady_clock;

constexpr int kWarmup = 200;  // round trips before each block of samples
// Of the echo and of the daemon, taking turns: the machine's wake-up latency moves between a
// few levels (about 20, 45 and 65 us on a shared VM), and only many turns let both meet them
// alike.
constexpr int kBlocks = 12;
constexpr int kReplyTimeoutMs = 5000;
constexpr int kQuietSeconds = 10;
// The board's line: 115200 baud, 10 bits per byte (start, 8 data, stop).
constexpr double kLineBytesPerSecond = 115200.0 / 10;
constexpr double kProbeRatioLimit = 1.2;
constexpr double kOwnShareLimit = 0.01;
constexpr double kPeakRssLimitKib = 4608;
constexpr double kNoDeviceWakeupsPerSecond = 1.0;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

double round1(double v) {
    return std::round(v * 10) / 10;
}

// --- requests ----------------------------------------------------------------------------

struct Kind {
    std::string name;
    // Lines sent in turn, newline included; all of one length. set_net_conf alternates two
    // configurations, so every request is applied rather than skipped as unchanged.
    std::vector<std::string> lines;
    std::size_t replyBytes = 0;  // a fixed-size reply (the probe's); 0: a line
    bool zonesMissing = false;   // the board has no thermal zones (as the emulated board)
};

// A set_net_conf request line (newline included) on network `net` with `containers`
// containers; lines of one container count are all of one length.
std::string setNetConfLine(int net, int containers = 2) {
    qftest::BoardConf conf;
    conf.net = net;
    conf.containers = containers;
    std::string line = conf.line("bench-0001") + "\n";
    if (line.size() >= qf::kReadBufferSize) fail("the request with containers does not fit a line");
    return line;
}

std::string query(const char* cmd) {
    return std::string(R"({"cmd":")") + cmd + R"(","uuid":"bench-0001"})" + "\n";
}

// In the order measured: set_net_conf last, as it changes what get_net_conf reports.
std::vector<Kind> kinds() {
    return {{"probe", {std::string(golden::kProbe) + "\n"}, golden::kAck.size()},
            {"get_stat", {query("get_stat")}},
            {"get_stat, no zones", {query("get_stat")}, 0, true},
            {"get_hardware_conf", {query("get_hardware_conf")}},
            {"get_net_conf", {query("get_net_conf")}},
            {"set_net_conf", {setNetConfLine(1), setNetConfLine(2)}}};
}

// --- round trips -------------------------------------------------------------------------

struct Series {
    std::vector<double> us;
    std::string reply;  // the reply as received (the daemon's are all the same)
};

using Results = std::map<std::string, Series>;

double roundTrip(qfclient::SerialLink& link, const std::string& line, std::size_t replyBytes,
                 std::string& reply) {
    const auto start = Clock::now();
    if (link.send(line) != qfclient::SerialLink::Status::Ok) fail("cannot write to the pty");
    const qfclient::SerialLink::Status status =
        replyBytes == 0 ? link.readLine(reply, kReplyTimeoutMs)
                        : link.readExact(replyBytes, reply, kReplyTimeoutMs);
    const auto end = Clock::now();
    if (status != qfclient::SerialLink::Status::Ok)
        fail("no reply to " + line + "received: " + reply);
    return std::chrono::duration<double, std::micro>(end - start).count();
}

// Measures the kinds one after another, `samples` round trips each after the warm-up. With
// `echo` each reply must be its line; otherwise every reply of a kind must equal its first.
void measure(qfclient::SerialLink& link, const std::vector<Kind>& kinds, int samples, bool echo,
             Results& results) {
    std::string reply;
    for (const Kind& kind : kinds) {
        Series& s = results[kind.name];
        for (int i = 0; i < kWarmup + samples; ++i) {
            const std::string& line = kind.lines[i % kind.lines.size()];
            const double us = roundTrip(link, line, echo ? 0 : kind.replyBytes, reply);
            if (s.reply.empty()) s.reply = reply;
            if (reply != (echo ? line : s.reply)) {
                fail(kind.name + ": unexpected reply " + reply + " (first: " + s.reply + ")");
            }
            if (i >= kWarmup) s.us.push_back(us);
        }
    }
}

// Runs the line echo on the board's /dev/ttyMSM0 (the daemon must not run) and measures it.
void measureEcho(SimulatedBoard& board, const std::vector<Kind>& kinds, int samples,
                 Results& results) {
    int status = -1;
    std::string output;
    std::thread echo([&] {
        try {
            status = board.run({QF_LINE_ECHO_PATH}, &output);
        } catch (const std::exception& e) {
            output = e.what();
        }
    });
    qfclient::SerialLink& link = board.link();
    std::string line;
    bool up = false;
    // The echo discards what arrived before it opened the device: ping until it answers.
    for (int i = 0; i < 100 && !up; ++i) {
        link.send("ping\n");
        up = link.readLine(line, 100) == qfclient::SerialLink::Status::Ok && line == "ping\n";
    }
    link.drain(200);
    try {
        if (!up) fail("the line echo does not answer");
        measure(link, kinds, samples, true, results);
    } catch (...) {
        link.send("quit\n");
        echo.join();
        throw;
    }
    link.send("quit\n");
    echo.join();
    if (status != 0) fail("the line echo ended with " + std::to_string(status) + ": " + output);
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    if (p == 50 && v.size() % 2 == 0) return (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    const auto rank = static_cast<std::size_t>(std::ceil(p / 100 * static_cast<double>(v.size())));
    return v[std::max<std::size_t>(rank, 1) - 1];
}

// --- the daemon's process ----------------------------------------------------------------

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The number after "name:" in a /proc status file.
long long statusField(const std::string& text, const std::string& name) {
    const std::size_t at = text.find("\n" + name + ":");
    if (at == std::string::npos) fail("no " + name + " in a status file");
    return std::strtoll(text.c_str() + at + name.size() + 2, nullptr, 10);
}

// Voluntary and involuntary context switches of all the process's threads.
long long contextSwitches(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = ::opendir(tasks.c_str());
    if (dir == nullptr) fail("cannot read " + tasks);
    long long sum = 0;
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const std::string text = slurp(tasks + "/" + e->d_name + "/status");
        sum += statusField(text, "voluntary_ctxt_switches") +
               statusField(text, "nonvoluntary_ctxt_switches");
    }
    ::closedir(dir);
    return sum;
}

// Context switches over kQuietSeconds, and the seconds actually measured.
long long switchesWhileQuiet(pid_t pid, double& seconds) {
    const long long before = contextSwitches(pid);
    const auto start = Clock::now();
    sleepMs(kQuietSeconds * 1000);
    const long long after = contextSwitches(pid);
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return after - before;
}

std::string loadAverage() {
    std::string text = slurp("/proc/loadavg");
    return text.substr(0, text.find(' ', text.find(' ', text.find(' ') + 1) + 1));
}

// --- the run -----------------------------------------------------------------------------

// Lines of at most 2047 bytes that make the daemon hold the most (beside the largest record
// file it reads, planted in /opt): a request of 64 levels with
// as many values as a request may have (stored in the record file, whose styled text is many
// times the line, and read back by the query), one of 999 levels (refused), one with more
// members than allowed, and an overlong line.
std::vector<std::string> worstLines() {
    const auto filled = [](const std::string& head, const std::string& item, int depth) {
        const std::string open(static_cast<std::size_t>(depth), '[');
        const std::string close(static_cast<std::size_t>(depth), ']');
        const auto line = [&](const std::string& body) {
            return std::string(head).append(open).append("[").append(body).append("]").append(
                       close) += "}";
        };
        const std::string more = "," + item;
        std::string body = item;
        for (std::string longer = body + more;
             line(longer).size() <= 2046 && jsonShape(line(longer)).values <= qf::kMaxJsonValues;
             longer += more) {
            body = longer;
        }
        return line(body) + "\n";
    };
    std::string members = R"({"cmd":"get_stat","uuid":"w")";
    for (int i = 0; members.size() < 2030; ++i) members += ",\"" + std::to_string(i) + "\":0";
    return {filled(R"({"cmd":"set_net_conf","uuid":"w","x":)", "0", 62),
            query("get_net_conf"),
            filled(R"({"cmd":"set_net_conf","uuid":"w","x":)", R"({"k":""})", 62),
            query("get_net_conf"),
            std::string(R"({"cmd":"set_net_conf","x":)") + std::string(999, '[') +
                std::string(999, ']') + "}\n",
            members + "}\n",
            std::string(1 << 20, 'x') + "\n"};
}

// The record file that makes the daemon hold the most: as much as the store reads, in as
// many values as it takes in, of another command, so that every store keeps and rewrites it.
std::string plantedRecord() {
    const std::size_t values = 4 * qf::kMaxJsonValues - 8;
    const std::size_t each = qf::kCmdRecordReadCap / values - 4;
    std::string text = R"({"get_stat":[)";
    for (std::size_t i = 0; i < values; ++i)
        text += (i == 0 ? "\"" : ",\"") + std::string(each, 'v') + "\"";
    return text + "]}";
}

// VmHWM of the daemon once it has served the worst lines.
long long peakAfterWorstRequests(SimulatedBoard& board) {
    board.putFile("opt/.cmd.txt", plantedRecord().c_str());
    for (const std::string& line : worstLines()) board.send(line);
    board.fence(kReplyTimeoutMs);
    const std::string status = slurp("/proc/" + std::to_string(board.daemonPid()) + "/status");
    std::fprintf(stderr, "after the worst requests: RssAnon %lld kB, RssFile %lld kB\n",
                 statusField(status, "RssAnon"), statusField(status, "RssFile"));
    return statusField(status, "VmHWM");
}

// --- the cost of an apply against the number of containers -------------------------------

// Up to about as many as a line of 2047 bytes can carry.
constexpr int kContainerCounts[] = {0, 12, 24, 36};
constexpr int kAppliesPerCount = 10;

struct ApplyCost {
    int containers = 0;
    double medianMs = 0;
    double flushesPerApply = -1;  // fsync, fdatasync and syncfs calls; -1: not counted
    double probeMedianUs = 0;     // the probe's answer while the apply runs
    double probeMaxUs = 0;
    int probes = 0;
};

// Counts the flush calls of `pid` (all its threads) while it runs, with strace when there is
// one.
class FlushCounter {
public:
    explicit FlushCounter(pid_t pid) {
        if (std::system("command -v strace >/dev/null 2>&1") != 0) return;
        const char* tmp = std::getenv("TMPDIR");
        out_ = std::string(tmp != nullptr ? tmp : "/tmp") + "/quillferry-bench-strace." +
               std::to_string(pid);
        const std::string cmd = "strace -f --seccomp-bpf -c -e trace=fsync,fdatasync,syncfs -o " +
                                out_ + " -p " + std::to_string(pid) + " 2>/dev/null & echo $!";
        FILE* p = ::popen(cmd.c_str(), "r");
        if (p == nullptr) return;
        char pidText[32] = {};
        stracePid_ = std::fgets(pidText, sizeof(pidText), p) != nullptr
                         ? static_cast<int>(std::strtol(pidText, nullptr, 10))
                         : -1;
        if (stracePid_ <= 0) stracePid_ = -1;
        ::pclose(p);
        sleepMs(500);  // attached to every thread
    }
    // The calls counted since the start; -1 without strace.
    long long stop() {
        if (stracePid_ <= 0) return -1;
        ::kill(stracePid_, SIGINT);
        for (int i = 0; i < 100 && ::kill(stracePid_, 0) == 0; ++i) sleepMs(20);
        long long calls = 0;
        std::istringstream in(slurp(out_));
        for (std::string line; std::getline(in, line);) {
            std::istringstream fields(line);
            double share = 0;
            double seconds = 0;
            long long usecs = 0;
            long long count = 0;
            if (fields >> share >> seconds >> usecs >> count) calls += count;
        }
        std::remove(out_.c_str());
        // The total line repeats the sum.
        return calls / 2;
    }

private:
    std::string out_;
    int stracePid_ = -1;
};

// Applies with `containers` containers, each to another network so that none is skipped,
// probing the daemon all the while; then a few more with their flush calls counted (apart,
// as counting slows the daemon down).
ApplyCost measureApplies(SimulatedBoard& board, int containers) {
    ApplyCost cost;
    cost.containers = containers;
    qfclient::SerialLink& link = board.link();
    std::vector<double> applyMs;
    std::vector<double> probeUs;
    const std::string probe = std::string(golden::kProbe) + "\n";
    const std::string ack(golden::kAck);
    for (int i = 0; i < kAppliesPerCount; ++i) {
        const auto start = Clock::now();
        if (link.send(setNetConfLine(i % 2 + 1, containers)) != qfclient::SerialLink::Status::Ok)
            fail("cannot write to the pty");
        std::string pending;
        bool replied = false;
        while (!replied) {
            if (Clock::now() - start > std::chrono::seconds(30))
                fail("no reply to set_net_conf with " + std::to_string(containers) + " containers");
            const auto sent = Clock::now();
            link.send(probe);
            while (pending.find(ack) == std::string::npos) {
                if (link.readSome(pending, kReplyTimeoutMs) != qfclient::SerialLink::Status::Ok)
                    fail("no acknowledgement during an apply; received: " + pending);
            }
            probeUs.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
            pending.erase(pending.find(ack), ack.size());
            const std::size_t reply = pending.find(R"({"cmd":"set_net_conf")");
            replied = reply != std::string::npos && pending.find('\n', reply) != std::string::npos;
            if (replied && pending.find(R"("ret_val":0,)") == std::string::npos)
                fail("an apply failed: " + pending);
        }
        applyMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    cost.medianMs = percentile(applyMs, 50);
    cost.probeMedianUs = percentile(probeUs, 50);
    cost.probeMaxUs = *std::max_element(probeUs.begin(), probeUs.end());
    cost.probes = static_cast<int>(probeUs.size());

    constexpr int kCounted = 4;
    FlushCounter flushes(board.daemonPid());
    for (int i = 0; i < kCounted; ++i) {
        std::string line = setNetConfLine(i % 2 + 1, containers);
        line.pop_back();  // request() adds the newline
        const std::string reply = board.request(line, kReplyTimeoutMs * 4);
        if (reply.find(R"("ret_val":0,)") == std::string::npos) fail("an apply failed: " + reply);
    }
    const long long calls = flushes.stop();
    cost.flushesPerApply = calls < 0 ? -1 : static_cast<double>(calls) / kCounted;
    return cost;
}

// A board whose state folder is on disk (where a flush costs what it costs on the board's
// flash, more or less), with instant stand-ins for ifdown and ifup.
std::vector<ApplyCost> measureApplyCost() {
    const char* disk = std::getenv("QUILLFERRY_BENCH_DISK");
    const std::string base = disk != nullptr && *disk != '\0' ? disk : "/var/tmp";
    const char* tmp = std::getenv("TMPDIR");
    const std::string saved = tmp != nullptr ? tmp : "";
    ::setenv("TMPDIR", base.c_str(), 1);
    BoardOptions options;
    options.stubs = {{"/usr/sbin/ifdown", "#!/bin/sh\nexit 0\n"},
                     {"/usr/sbin/ifup", "#!/bin/sh\nexit 0\n"}};
    std::vector<ApplyCost> costs;
    {
        SimulatedBoard board(options);
        if (saved.empty()) {
            ::unsetenv("TMPDIR");
        } else {
            ::setenv("TMPDIR", saved.c_str(), 1);
        }
        board.startDaemon();
        for (const int n : kContainerCounts) {
            std::fprintf(stderr, "applying with %d containers on disk (%s) ...\n", n, base.c_str());
            costs.push_back(measureApplies(board, n));
        }
    }
    return costs;
}

struct Figures {
    Results echo;
    Results daemon;
    std::map<std::string, std::vector<double>> echoBlockMedians;
    long long peakRssKib = 0;
    long long worstPeakRssKib = 0;  // after the requests that make the daemon grow most
    long long anonKib = 0;          // resident at the end: the daemon's own memory
    long long fileKib = 0;          // and mapped files, mostly shared libraries
    long long idleSwitches = 0;
    double idleSeconds = 0;
    long long noDeviceSwitches = 0;
    double noDeviceSeconds = 0;
    std::vector<ApplyCost> applyCost;
    std::string loadBefore;
    std::string loadAfter;
};

// Removes the board's thermal zone files, or puts them back.
void setThermalZones(SimulatedBoard& board, bool present) {
    for (const char* file : qf::kThermalZoneFiles)
        board.putFile(std::string(file).substr(1), present ? "36000\n" : nullptr);
}

constexpr const char* kLogFifo = "/var/tmp/quillferry-log.fifo";
constexpr const char* kLogFile = "var/log/quillferry.log";

// Starts the daemon with its standard error in a pipe that a reader in the board drains into
// kLogFile, as the journal does in service.
void startLoggingDaemon(SimulatedBoard& board) {
    const std::string reader = std::string("[ -p ") + kLogFifo + " ] || mkfifo " + kLogFifo +
                               "; cat " + kLogFifo + " >>/" + kLogFile + " &";
    if (board.run({"sh", "-c", reader}) != 0) fail("cannot start the log's reader");
    board.startDaemon({}, true, {"sh", "-c", std::string("exec \"$0\" 2>") + kLogFifo});
}

// Starts the daemon on a configured board, as in service, and measures it.
void measureDaemon(SimulatedBoard& board, const std::vector<Kind>& kinds, int samples,
                   Results& results) {
    setThermalZones(board, !std::any_of(kinds.begin(), kinds.end(),
                                        [](const Kind& k) { return k.zonesMissing; }));
    startLoggingDaemon(board);
    std::string first = setNetConfLine(2);
    first.pop_back();  // request() adds the newline
    if (board.request(first, kReplyTimeoutMs).empty()) fail("no reply to set_net_conf");
    const std::size_t logged = board.readFile(kLogFile).size();
    measure(board.link(), kinds, samples, false, results);
    if (board.readFile(kLogFile).find("ip config not changed", logged) != std::string::npos)
        fail("a set_net_conf request was skipped as unchanged");
}

void run(int samples, Figures& f) {
    f.loadBefore = loadAverage();
    {
        // ifdown and ifup as instant stand-ins: what is measured is the daemon's own cost.
        BoardOptions options;
        options.stubs = {{"/usr/sbin/ifdown", "#!/bin/sh\nexit 0\n"},
                         {"/usr/sbin/ifup", "#!/bin/sh\nexit 0\n"}};
        SimulatedBoard board(options);
        // The echo and the daemon take turns in blocks, so that the machine's drift over
        // the run hits both alike.
        const int perBlock = (samples + kBlocks - 1) / kBlocks;
        for (const Kind& kind : kinds()) {
            std::fprintf(stderr, "measuring %s against the line echo ...\n", kind.name.c_str());
            for (int block = 0; block < kBlocks; ++block) {
                const std::size_t from = f.echo[kind.name].us.size();
                measureEcho(board, {kind}, perBlock, f.echo);
                const std::vector<double>& us = f.echo[kind.name].us;
                f.echoBlockMedians[kind.name].push_back(
                    percentile({us.begin() + static_cast<std::ptrdiff_t>(from), us.end()}, 50));
                measureDaemon(board, {kind}, perBlock, f.daemon);
                board.stopDaemon();
            }
        }

        // One daemon that has served every kind: its wake-ups when idle and its memory.
        Results scratch;
        measureDaemon(board, kinds(), kWarmup, scratch);
        std::fprintf(stderr, "counting wake-ups of the idle daemon (%d s) ...\n", kQuietSeconds);
        sleepMs(500);
        f.idleSwitches = switchesWhileQuiet(board.daemonPid(), f.idleSeconds);
        const std::string status = slurp("/proc/" + std::to_string(board.daemonPid()) + "/status");
        f.peakRssKib = statusField(status, "VmHWM");
        f.anonKib = statusField(status, "RssAnon");
        f.fileKib = statusField(status, "RssFile");
        f.worstPeakRssKib = peakAfterWorstRequests(board);
    }
    {
        BoardOptions options;
        options.ttyLater = true;  // and never plugged
        SimulatedBoard board(options);
        std::fprintf(stderr, "counting wake-ups without a serial device (%d s) ...\n",
                     kQuietSeconds);
        board.startDaemon({}, false);
        if (!board.waitForLog("Uart Init failed", 5000, Stream::Out))
            fail("the daemon without a device does not report it");
        sleepMs(1500);
        f.noDeviceSwitches = switchesWhileQuiet(board.daemonPid(), f.noDeviceSeconds);
    }
    f.applyCost = measureApplyCost();
    f.loadAfter = loadAverage();
}

// --- the report --------------------------------------------------------------------------

struct Target {
    std::string name;
    double value;
    double limit;
    bool pass;
};

std::string formatRow(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatRow(const char* format, ...) {
    char buf[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof(buf), format, args);
    va_end(args);
    return buf;
}

bool report(const Figures& f, int samples, const std::string& outPath) {
    Json::Value json;
    json["samples"] = samples;
    json["warmup_per_block"] = kWarmup;
    json["blocks"] = kBlocks;
    json["load_average_before"] = f.loadBefore;
    json["load_average_after"] = f.loadAfter;
    json["state_folder_base"] = std::getenv("TMPDIR") != nullptr ? std::getenv("TMPDIR") : "/tmp";
    std::vector<Target> targets;
    std::vector<std::string> warnings;

    std::printf(
        "QuillFerry daemon on the simulated board: %d samples per kind in %d blocks, "
        "each after %d warm-up\n",
        samples, kBlocks, kWarmup);
    std::printf("load average before %s, after %s\n\n", f.loadBefore.c_str(), f.loadAfter.c_str());
    std::printf("%-18s %9s %9s %9s %9s %7s %6s %9s %9s  %s\n", "round trip (us)", "median", "p99",
                "echo med", "echo p99", "ratio", "reply", "own", "1% line", "target");
    for (const Kind& kind : kinds()) {
        const Series& d = f.daemon.at(kind.name);
        const std::vector<double>& echo = f.echo.at(kind.name).us;
        const std::vector<double>& blocks = f.echoBlockMedians.at(kind.name);
        const auto [lowest, highest] = std::minmax_element(blocks.begin(), blocks.end());
        const double med = percentile(d.us, 50);
        const double p99 = percentile(d.us, 99);
        const double echoMed = percentile(echo, 50);
        const double echoP99 = percentile(echo, 99);
        const double own = med - echoMed;
        const double lineUs = static_cast<double>(d.reply.size()) / kLineBytesPerSecond * 1e6;
        std::string verdict = "-";
        if (kind.name == "probe") {
            const bool pass = med <= kProbeRatioLimit * echoMed;
            targets.push_back({"probe round trip / echo", med / echoMed, kProbeRatioLimit, pass});
            verdict = formatRow("ratio <= %.1f: %s", kProbeRatioLimit, pass ? "PASS" : "FAIL");
        } else if (kind.name.rfind("get_", 0) == 0) {
            const bool pass = own < kOwnShareLimit * lineUs;
            targets.push_back({kind.name + " own us / 1% of reply line time", own,
                               kOwnShareLimit * lineUs, pass});
            verdict = formatRow("own < 1%% line: %s", pass ? "PASS" : "FAIL");
        }
        if (*highest > 1.25 * *lowest) {
            warnings.push_back(formatRow(
                "%s: the echo's block medians range from %.1f to %.1f us, so the machine's "
                "wake-up latency moved during the run; its ratios are less certain",
                kind.name.c_str(), *lowest, *highest));
        }
        std::printf("%-18s %9.1f %9.1f %9.1f %9.1f %7.2f %6zu %9.1f %9.1f  %s\n", kind.name.c_str(),
                    med, p99, echoMed, echoP99, med / echoMed, d.reply.size(), own,
                    kOwnShareLimit * lineUs, verdict.c_str());
        Json::Value& k = json["round_trips_us"][kind.name];
        k["request_bytes"] = static_cast<Json::UInt>(kind.lines[0].size());
        k["reply_bytes"] = static_cast<Json::UInt>(d.reply.size());
        k["median"] = round1(med);
        k["p99"] = round1(p99);
        k["echo_median"] = round1(echoMed);
        k["echo_p99"] = round1(echoP99);
        for (const double m : blocks) k["echo_block_medians"].append(round1(m));
        k["ratio_median"] = std::round(med / echoMed * 1000) / 1000;
        k["ratio_p99"] = std::round(p99 / echoP99 * 1000) / 1000;
        k["own_processing_us"] = round1(own);
        k["reply_line_time_us"] = round1(lineUs);
    }

    const double rssMib = static_cast<double>(f.peakRssKib) / 1024;
    const bool rssPass = static_cast<double>(f.peakRssKib) < kPeakRssLimitKib;
    targets.push_back(
        {"peak RSS KiB", static_cast<double>(f.peakRssKib), kPeakRssLimitKib, rssPass});
    const double worstMib = static_cast<double>(f.worstPeakRssKib) / 1024;
    const bool worstPass = static_cast<double>(f.worstPeakRssKib) < kPeakRssLimitKib;
    targets.push_back({"peak RSS KiB after the worst requests",
                       static_cast<double>(f.worstPeakRssKib), kPeakRssLimitKib, worstPass});
    const bool idlePass = f.idleSwitches == 0;
    targets.push_back({"context switches idle", static_cast<double>(f.idleSwitches), 0, idlePass});
    const double perSecond = static_cast<double>(f.noDeviceSwitches) / f.noDeviceSeconds;
    const bool noDevicePass = perSecond <= kNoDeviceWakeupsPerSecond;
    targets.push_back({"context switches per s without a device", perSecond,
                       kNoDeviceWakeupsPerSecond, noDevicePass});
    std::printf("\n%-40s %9.2f MiB   < %.1f MiB: %s\n", "peak RSS (VmHWM)", rssMib,
                kPeakRssLimitKib / 1024, rssPass ? "PASS" : "FAIL");
    std::printf("%-40s %9.2f MiB   < %.1f MiB: %s\n", "  after the worst requests", worstMib,
                kPeakRssLimitKib / 1024, worstPass ? "PASS" : "FAIL");
    std::printf("%-40s %9.2f MiB anonymous, %.2f MiB mapped files\n", "  resident at the end",
                static_cast<double>(f.anonKib) / 1024, static_cast<double>(f.fileKib) / 1024);
    std::printf("%-40s %9lld       = 0: %s\n",
                formatRow("context switches, idle %.1f s", f.idleSeconds).c_str(), f.idleSwitches,
                idlePass ? "PASS" : "FAIL");
    std::printf("%-40s %9lld (%.2f/s) <= 1/s: %s\n",
                formatRow("context switches, no device %.1f s", f.noDeviceSeconds).c_str(),
                f.noDeviceSwitches, perSecond, noDevicePass ? "PASS" : "FAIL");
    std::printf("\n%-12s %12s %16s %14s %14s\n", "containers", "apply (ms)", "flushes/apply",
                "probe med (us)", "probe max (us)");
    for (const ApplyCost& c : f.applyCost) {
        std::printf("%-12d %12.1f %16.1f %14.1f %14.1f\n", c.containers, c.medianMs,
                    c.flushesPerApply, c.probeMedianUs, c.probeMaxUs);
        Json::Value& entry = json["apply_cost"].append(Json::Value());
        entry["containers"] = c.containers;
        entry["apply_median_ms"] = round1(c.medianMs);
        entry["flush_calls_per_apply"] = round1(c.flushesPerApply);
        entry["probe_during_apply_median_us"] = round1(c.probeMedianUs);
        entry["probe_during_apply_max_us"] = round1(c.probeMaxUs);
        entry["probes"] = c.probes;
    }
    for (const std::string& w : warnings) std::printf("note: %s\n", w.c_str());

    json["peak_rss_kib"] = static_cast<Json::Int64>(f.peakRssKib);
    json["peak_rss_after_worst_requests_kib"] = static_cast<Json::Int64>(f.worstPeakRssKib);
    json["rss_at_end_kib"]["anonymous"] = static_cast<Json::Int64>(f.anonKib);
    json["rss_at_end_kib"]["files"] = static_cast<Json::Int64>(f.fileKib);
    json["context_switches"]["idle"] = static_cast<Json::Int64>(f.idleSwitches);
    json["context_switches"]["idle_seconds"] = round1(f.idleSeconds);
    json["context_switches"]["no_device"] = static_cast<Json::Int64>(f.noDeviceSwitches);
    json["context_switches"]["no_device_seconds"] = round1(f.noDeviceSeconds);
    bool all = true;
    for (const Target& t : targets) {
        Json::Value& entry = json["targets"].append(Json::Value());
        entry["name"] = t.name;
        entry["value"] = std::round(t.value * 1000) / 1000;
        entry["limit"] = std::round(t.limit * 1000) / 1000;
        entry["pass"] = t.pass;
        all = all && t.pass;
    }
    json["all_targets_met"] = all;
    for (const std::string& w : warnings) json["warnings"].append(w);

    if (!outPath.empty()) {
        Json::StreamWriterBuilder builder;
        builder["indentation"] = "  ";
        builder["precision"] = 3;
        builder["precisionType"] = "decimal";
        std::ofstream out(outPath);
        out << Json::writeString(builder, json) << "\n";
        if (!out.flush()) fail("cannot write " + outPath);
        std::printf("\nfigures written to %s\n", outPath.c_str());
    }
    return all;
}

}  // namespace

int main(int argc, char** argv) {
    int samples = 3000;
    std::string out;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--samples" && i + 1 < argc) {
            char* end = nullptr;
            samples = static_cast<int>(std::strtol(argv[++i], &end, 10));
            if (*end != '\0') samples = 0;
        } else if (arg == "--out" && i + 1 < argc) {
            out = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--samples N] [--out FILE]\n", argv[0]);
            return 2;
        }
    }
    if (samples < 1) {
        std::fprintf(stderr, "%s: --samples needs a positive number\n", argv[0]);
        return 2;
    }
    std::string why;
    if (!SimulatedBoard::available(why)) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 2;
    }
    try {
        Figures figures;
        run(samples, figures);
        return report(figures, samples, out) ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "benchmark failed: %s\n", e.what());
        return 2;
    }
}
