// SPDX-License-Identifier: Apache-2.0
// Benchmark of quillferry-exporter on boards played by responders on loopback TCP ports
// (answering the status query as a board does):
//   - one scrape's own time against the board's round trip through the client library,
//     scrapes one after the other on a kept connection, with boards that answer at once and
//     boards as slow as their serial line at 115200 baud;
//   - N boards scraped at once by one client as Prometheus scrapes them (a connection per
//     target, every request sent before any answer is read);
//   - the exporter's peak resident memory with N boards;
//   - its wake-ups and CPU time while nothing scrapes.
//
//   quillferry_exporter_bench [--boards N] [--out RESULTS.json]
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "quillferry/line.h"
#include "responders.h"

namespace {

using qfbench::Clock;
using qfbench::fail;
using qfbench::Kind;
using qfbench::Responders;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The exporter on a free loopback port, serving the inventory of `r`'s boards.
class Exporter {
public:
    Exporter(const std::string& dir, const Responders& r)
        : log_(dir + "/exporter" + std::to_string(++started_) + ".log") {
        const std::string inventory = dir + "/inventory.json";
        std::ofstream out(inventory);
        out << "{\"boards\": [\n";
        for (std::size_t i = 0; i < r.ports().size(); ++i) {
            out << (i == 0 ? "" : ",\n") << "{\"name\": \"b" << i
                << "\", \"line\": \"tcp:127.0.0.1:" << r.ports()[i] << "\"}";
        }
        out << "]}\n";
        out.close();
        pid_ = ::fork();
        if (pid_ < 0) fail("fork");
        if (pid_ == 0) {
            const int fd = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0 || ::dup2(fd, 2) < 0) _exit(127);
            // QUILLFERRY_EXPORTER: another program to start (a profiler's wrapper).
            const char* program = std::getenv("QUILLFERRY_EXPORTER");
            if (program == nullptr) program = QF_EXPORTER_PATH;
            ::execl(program, program, "--inventory", inventory.c_str(), "--web.listen-address",
                    "127.0.0.1:0", static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 500 && port_ == 0; ++i) {
            const std::string text = readFile(log_);
            // The whole line: the log may be read while it is being written.
            const std::size_t at = text.find("listening on 127.0.0.1:");
            if (at != std::string::npos && text.find('\n', at) != std::string::npos)
                port_ = static_cast<int>(std::strtol(text.c_str() + at + 23, nullptr, 10));
            if (port_ == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (port_ == 0) throw std::runtime_error("the exporter did not start: " + readFile(log_));
    }
    ~Exporter() {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    int port() const { return port_; }
    // A figure of /proc/PID/status in KiB (VmHWM, VmRSS).
    long statusKiB(const char* name) const {
        const std::string text = readFile("/proc/" + std::to_string(pid_) + "/status");
        const std::size_t at = text.find(std::string(name) + ":");
        return at == std::string::npos
                   ? -1
                   : std::strtol(text.c_str() + at + std::strlen(name) + 1, nullptr, 10);
    }
    // Context switches of all its threads, and its CPU time in clock ticks.
    std::pair<long, long> activity() const {
        long switches = 0;
        const std::string base = "/proc/" + std::to_string(pid_) + "/task";
        if (DIR* d = ::opendir(base.c_str())) {
            for (const dirent* e = ::readdir(d); e != nullptr; e = ::readdir(d)) {
                if (e->d_name[0] == '.') continue;
                const std::string text = readFile(base + "/" + e->d_name + "/status");
                for (const char* key :
                     {"voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"}) {
                    const std::size_t at = text.find(key);
                    if (at != std::string::npos)
                        switches += std::strtol(text.c_str() + at + std::strlen(key), nullptr, 10);
                }
            }
            ::closedir(d);
        }
        const std::string stat = readFile("/proc/" + std::to_string(pid_) + "/stat");
        const std::size_t close = stat.rfind(')');
        long ticks = 0;
        if (close != std::string::npos) {
            std::istringstream fields(stat.substr(close + 2));
            std::vector<std::string> v;
            for (std::string f; fields >> f;) v.push_back(f);
            if (v.size() > 12)
                ticks = std::strtol(v[11].c_str(), nullptr, 10) +
                        std::strtol(v[12].c_str(), nullptr, 10);
        }
        return {switches, ticks};
    }

private:
    static inline int started_ = 0;  // each exporter has a log of its own
    std::string log_;
    pid_t pid_ = -1;
    int port_ = 0;
};

int connectTo(int port, bool nonblocking) {
    const int fd =
        ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 &&
                   errno != EINPROGRESS))
        fail("cannot connect to the exporter on port " + std::to_string(port));
    return fd;
}

std::string request(int board) {
    return "GET /probe?target=b" + std::to_string(board) +
           "&module=stat HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/plain\r\n"
           "X-Prometheus-Scrape-Timeout-Seconds: 10\r\n\r\n";
}

// Whether `in` holds a whole response (headers and Content-Length bytes of body).
bool whole(const std::string& in) {
    const std::size_t end = in.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    const std::size_t at = in.find("Content-Length: ");
    if (at == std::string::npos || at > end) return false;
    return in.size() >= end + 4 + std::strtoul(in.c_str() + at + 16, nullptr, 10);
}

bool succeeded(const std::string& response) {
    return response.rfind("HTTP/1.1 200", 0) == 0 &&
           response.find("\nquillferry_probe_success 1\n") != std::string::npos;
}

// One scrape on a kept connection: its time.
double scrapeOnce(int fd, int board) {
    const std::string req = request(board);
    const auto start = Clock::now();
    if (::write(fd, req.data(), req.size()) != static_cast<ssize_t>(req.size())) fail("write");
    std::string in;
    char buf[8192];
    while (!whole(in)) {
        const ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n <= 0) fail("the exporter closed the connection");
        in.append(buf, static_cast<std::size_t>(n));
    }
    const double t = seconds(Clock::now() - start);
    if (!succeeded(in)) throw std::runtime_error("a scrape failed: " + in.substr(0, 300));
    return t;
}

struct Ratio {
    double scrape = 0;
    double roundTrip = 0;
};

// Median scrape time against the median round trip of the client library's own status
// query to the same board, `samples` of each, one after the other.
Ratio ratio(const std::string& dir, int baud, int samples) {
    Responders boards(
        1, [](int) { return Kind::Stat; }, baud);
    const Exporter e(dir, boards);
    std::vector<double> scrapes;
    const int fd = connectTo(e.port(), false);
    scrapes.reserve(static_cast<std::size_t>(samples));
    for (int i = 0; i < samples; ++i) scrapes.push_back(scrapeOnce(fd, 0));
    ::close(fd);
    qfclient::LineAddress address;
    std::string error;
    qfclient::parseAddress("tcp:127.0.0.1:" + std::to_string(boards.ports()[0]), address, error);
    std::vector<double> trips;
    for (int i = 0; i < samples; ++i) {
        qfclient::Line line(address);
        const auto start = Clock::now();
        const qfclient::Result r =
            line.call(qfclient::requestCall(qfclient::statRequest(qfclient::newUuid())), 5000);
        trips.push_back(seconds(Clock::now() - start));
        if (r.outcome != qfclient::Outcome::Ok) throw std::runtime_error("a round trip failed");
    }
    return {median(scrapes), median(trips)};
}

struct Fleet {
    double seconds = 0;
    int ok = 0;
};

// Every board scraped at once, a connection each, every request sent before any answer is
// read.
Fleet scrapeAll(const Exporter& e, int boards) {
    std::vector<pollfd> fds;
    std::vector<std::string> in(static_cast<std::size_t>(boards));
    std::vector<std::string> out(static_cast<std::size_t>(boards));
    const auto start = Clock::now();
    for (int i = 0; i < boards; ++i) {
        fds.push_back({connectTo(e.port(), true), POLLOUT, 0});
        out[static_cast<std::size_t>(i)] = request(i);
    }
    Fleet f;
    int open = boards;
    char buf[8192];
    while (open > 0 && Clock::now() - start < std::chrono::seconds(30)) {
        if (::poll(fds.data(), fds.size(), 1000) < 0) fail("poll");
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            if ((fds[i].revents & POLLOUT) != 0) {
                const ssize_t n = ::send(fds[i].fd, out[i].data(), out[i].size(), MSG_NOSIGNAL);
                if (n > 0) out[i].erase(0, static_cast<std::size_t>(n));
                if (out[i].empty()) fds[i].events = POLLIN;
                continue;
            }
            const ssize_t n = ::read(fds[i].fd, buf, sizeof(buf));
            if (n > 0) in[i].append(buf, static_cast<std::size_t>(n));
            if (n <= 0 || whole(in[i])) {
                if (succeeded(in[i])) ++f.ok;
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    f.seconds = seconds(Clock::now() - start);
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    int boards = 1000;
    std::string results;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--boards") boards = static_cast<int>(std::strtol(argv[i + 1], nullptr, 10));
        if (name == "--out") results = argv[i + 1];
    }
    try {
        qfbench::raiseFileLimit();
        char dir[] = "/tmp/quillferry-exporter-bench-XXXXXX";
        if (::mkdtemp(dir) == nullptr) fail("mkdtemp");

        const Ratio instant = ratio(dir, 0, 300);
        const Ratio serial = ratio(dir, 115200, 100);

        Responders all(boards, [](int) { return Kind::Stat; });
        const Exporter e(dir, all);
        std::vector<Fleet> fleets;
        fleets.reserve(5);
        for (int i = 0; i < 5; ++i) fleets.push_back(scrapeAll(e, boards));
        std::sort(fleets.begin(), fleets.end(),
                  [](const Fleet& a, const Fleet& b) { return a.seconds < b.seconds; });
        const Fleet fleet = fleets[2];
        int worstOk = boards;
        for (const Fleet& f : fleets) worstOk = std::min(worstOk, f.ok);
        const long peakKiB = e.statusKiB("VmHWM");

        // Idle: every connection closed, nothing scraping.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const auto before = e.activity();
        std::this_thread::sleep_for(std::chrono::seconds(10));
        const auto after = e.activity();
        const long wakeups = after.first - before.first;
        const long idleTicks = after.second - before.second;
        std::system((std::string("rm -rf ") + dir).c_str());

        const double instantRatio = instant.scrape / instant.roundTrip;
        const double serialRatio = serial.scrape / serial.roundTrip;
        const bool met = serialRatio <= 1.2 && fleet.seconds <= 2 && worstOk == boards &&
                         peakKiB <= 16L * 1024 && wakeups == 0;
        std::printf(
            "scrape against round trip, boards answering at once: %.0f us / %.0f us = %.2f\n",
            instant.scrape * 1e6, instant.roundTrip * 1e6, instantRatio);
        std::printf(
            "scrape against round trip, boards at 115200 baud: %.2f ms / %.2f ms = %.3f "
            "(goal 1.2)\n",
            serial.scrape * 1e3, serial.roundTrip * 1e3, serialRatio);
        std::printf(
            "%d boards scraped at once: %.3f s (median of 5, goal 2 s), every scrape "
            "successful: %s\n",
            boards, fleet.seconds, worstOk == boards ? "yes" : "no");
        std::printf("peak resident memory of the exporter: %.1f MiB (goal 16 MiB)\n",
                    static_cast<double>(peakKiB) / 1024.0);
        std::printf("idle 10 s: %ld context switches, %ld clock ticks of CPU (goal 0 wake-ups)\n",
                    wakeups, idleTicks);
        if (!results.empty()) {
            std::ofstream(results)
                << "{\"boards\": " << boards << ", \"scrape_seconds_instant\": " << instant.scrape
                << ", \"round_trip_seconds_instant\": " << instant.roundTrip
                << ", \"scrape_seconds_115200\": " << serial.scrape
                << ", \"round_trip_seconds_115200\": " << serial.roundTrip
                << ", \"all_at_once_seconds\": " << fleet.seconds
                << ", \"peak_rss_kib\": " << peakKiB << ", \"idle_context_switches\": " << wakeups
                << ", \"idle_cpu_ticks\": " << idleTicks << "}\n";
        }
        std::printf("%s\n", met ? "all targets met" : "a target missed");
        return met ? 0 : 1;
    } catch (const std::exception& ex) {
        std::fprintf(stderr, "quillferry_exporter_bench: %s\n", ex.what());
        return 2;
    }
}
