// SPDX-License-Identifier: Apache-2.0
// Benchmark of quillferry-ctl on a fleet: N boards played by responders on loopback TCP
// ports (a child process that answers the probe), probed with one fleet command, against N
// `quillferry-ctl probe` runs one after the other, as a shell loop would; the fleet's peak
// resident memory; then the same fleet with every tenth board never answering, whose wall
// time should stay within the timeout plus 10 %; then a fleet of which every other board is
// hostile (hanging, sending without end, garbage, a byte at a time, resetting the
// connection, closing its sending half), whose healthy boards must all answer within the
// same time and memory; one whose every board sends without end, and one whose every board
// answers the status query with the longest reply the client takes: the most a board can
// make the client hold.
//
// Responders and clients share the machine, so the kernel's loopback TCP is most of the
// fleet's time.
//
//   quillferry_fleet_bench [--boards N] [--timeout SECONDS] [--out RESULTS.json]
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
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/constants.h"

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// How a responder's board behaves.
enum class Kind {
    Healthy,     // answers the probe with its acknowledgement
    Silent,      // takes the connection and never answers
    Endless,     // sends without end, never a newline
    Garbage,     // sends random bytes without end, newlines and zero bytes among them
    Slowloris,   // sends the acknowledgement a byte every 200 ms
    Reset,       // resets the connection at once
    HalfClosed,  // closes its sending half at once and reads on
    Longest,     // answers a request with the longest reply the client takes (8 KiB)
    InForce      // answers get_net_conf as a board that runs kNetwork does
};

// The network of an InForce board's inventory entry, and what such a board reports.
constexpr const char* kNetwork =
    R"({"address": "10.0.1.8/24", "gateway": "10.0.1.1", "dns": ["10.0.0.53"], "idc": "dc1",)"
    R"( "soc_ip": "10.0.1.8", "pod_id": 3, "containers": [{"mac": "02:00:00:00:01:0a",)"
    R"( "address": "10.0.1.10"}]})";
constexpr const char* kNetConfReply =
    R"({"cmd":"get_net_conf","in_force":{"ipv4":{"address":"10.0.1.8","gateway":"10.0.1.1",)"
    R"("netmask":24},"location":{"idc":"dc1","pod_id":3,"soc_ip":"10.0.1.8"},"lxclist":[{"ipv4":)"
    R"("10.0.1.10","mac":"02:00:00:00:01:0a"}],"nameservers":["10.0.0.53"]},"ipv4":{"address":)"
    R"("10.0.1.8","gateway":"10.0.1.1","netmask":24},"live":{"ipv4":[{"address":"10.0.1.8",)"
    R"("netmask":24}],"ipv6":[]},"lxclist":[{"ipv4":"10.0.1.10","mac":"02:00:00:00:01:0a"}],)"
    R"("mac":"02:51:46:00:00:01","method":"static","nameservers":["10.0.0.53"],"ret_val":0,)";
constexpr Kind kHostile[] = {Kind::Silent,    Kind::Endless, Kind::Garbage,
                             Kind::Slowloris, Kind::Reset,   Kind::HalfClosed};

// The responders: one listening socket per board, each board's kind from `kindOf`.
class Responders {
public:
    Responders(int boards, Kind (*kindOf)(int board)) {
        for (int i = 0; i < boards; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t len = sizeof(addr);
            if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
                ::listen(fd, 8) != 0 ||
                ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
                fail("cannot listen on loopback");
            listeners_.push_back(fd);
            ports_.push_back(ntohs(addr.sin_port));
            kinds_.push_back(kindOf(i));
        }
        pid_ = ::fork();
        if (pid_ < 0) fail("fork");
        if (pid_ == 0) serve();  // never returns
        for (const int fd : listeners_) ::close(fd);
    }
    ~Responders() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    const std::vector<int>& ports() const { return ports_; }
    const std::vector<Kind>& kinds() const { return kinds_; }

private:
    struct Connection {
        Kind kind;
        std::size_t sent = 0;  // Slowloris: bytes of the acknowledgement sent
    };

    [[noreturn]] void serve() {
        std::vector<pollfd> fds;
        for (const int fd : listeners_) fds.push_back({fd, POLLIN, 0});
        const std::size_t listeners = fds.size();
        std::vector<Connection> conns(listeners, Connection{Kind::Healthy});
        const std::string ack(qf::kProbeAck, qf::kProbeAckSize);
        const std::string endless(4096, 'x');
        std::string garbage(4096, '\0');
        unsigned seed = 1;
        for (char& c : garbage) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 16);
        char buf[4096];
        auto lastTrickle = Clock::now();
        for (;;) {
            if (::poll(fds.data(), fds.size(), 50) < 0) _exit(1);
            const bool trickle = Clock::now() - lastTrickle >= std::chrono::milliseconds(200);
            if (trickle) lastTrickle = Clock::now();
            for (std::size_t i = 0; i < fds.size(); ++i) {
                if (fds[i].fd < 0) continue;
                if (i < listeners) {
                    if ((fds[i].revents & POLLIN) != 0) accept(fds[i].fd, kinds_[i], fds, conns);
                    continue;
                }
                Connection& c = conns[i];
                if (c.kind == Kind::Slowloris && trickle && c.sent < ack.size()) {
                    if (::write(fds[i].fd, &ack[c.sent], 1) == 1) ++c.sent;
                }
                if ((fds[i].revents & POLLOUT) != 0) {
                    const std::string& flood = c.kind == Kind::Endless ? endless : garbage;
                    if (::write(fds[i].fd, flood.data(), flood.size()) < 0 && errno != EAGAIN) {
                        ::close(fds[i].fd);
                        fds[i].fd = -1;
                        continue;
                    }
                }
                if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
                const ssize_t n = ::read(fds[i].fd, buf, sizeof(buf));
                if (n <= 0) {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;  // poll ignores it from now on
                } else if (std::memchr(buf, '\n', static_cast<std::size_t>(n)) == nullptr) {
                    continue;
                } else if (c.kind == Kind::Healthy) {
                    if (::write(fds[i].fd, ack.data(), ack.size()) < 0) _exit(1);
                } else if (c.kind == Kind::Longest || c.kind == Kind::InForce) {
                    const std::string request(buf, static_cast<std::size_t>(n));
                    const std::string reply = c.kind == Kind::Longest
                                                  ? longest(request)
                                                  : kNetConfReply + std::string("\"uuid\":\"") +
                                                        uuidOf(request) + "\"}\n";
                    if (::write(fds[i].fd, reply.data(), reply.size()) < 0) _exit(1);
                }
            }
        }
    }

    // The uuid of a request line, as its reply echoes it.
    static std::string uuidOf(const std::string& request) {
        const std::size_t at = request.find("\"uuid\":\"");
        const std::size_t end = at == std::string::npos ? at : request.find('"', at + 8);
        return end == std::string::npos ? "" : request.substr(at + 8, end - at - 8);
    }

    // A reply to `request` (its uuid echoed) of 8 KiB with its newline.
    static std::string longest(const std::string& request) {
        std::string reply = "{\"ret_val\":0,\"uuid\":\"" + uuidOf(request) + "\",\"x\":\"";
        reply.append(8192 - reply.size() - 3, 'y');
        return reply + "\"}\n";
    }

    static void accept(int listener, Kind kind, std::vector<pollfd>& fds,
                       std::vector<Connection>& conns) {
        const int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (c < 0) return;
        if (kind == Kind::Reset) {
            const linger abort = {1, 0};
            ::setsockopt(c, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
            ::close(c);
            return;
        }
        if (kind == Kind::HalfClosed) ::shutdown(c, SHUT_WR);
        const bool floods = kind == Kind::Endless || kind == Kind::Garbage;
        fds.push_back({c, static_cast<short>(POLLIN | (floods ? POLLOUT : 0)), 0});
        conns.push_back({kind});
    }

    std::vector<int> listeners_;
    std::vector<int> ports_;
    std::vector<Kind> kinds_;
    pid_t pid_ = -1;
};

struct Run {
    double seconds = 0;
    long maxRssKiB = 0;
    int status = -1;
};

// Runs quillferry-ctl with `args`, its output thrown away.
Run runCtl(const std::vector<std::string>& args) {
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) fail("fork");
    if (pid == 0) {
        std::vector<char*> argv = {const_cast<char*>(QF_CTL_PATH)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (::freopen("/dev/null", "w", stdout) == nullptr ||
            ::freopen("/dev/null", "w", stderr) == nullptr)
            _exit(127);
        ::execv(QF_CTL_PATH, argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid) fail("wait4");
    Run r;
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    r.maxRssKiB = usage.ru_maxrss;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// The inventory of the responders' boards: "h<i>" for a healthy board, "x<i>" for another.
std::string inventory(const std::string& path, const Responders& r) {
    std::ofstream out(path);
    out << "{\"boards\": [\n";
    for (std::size_t i = 0; i < r.ports().size(); ++i) {
        out << (i == 0 ? "" : ",\n") << "{\"name\": \""
            << (r.kinds()[i] == Kind::Healthy || r.kinds()[i] == Kind::InForce ? 'h' : 'x') << i
            << "\", \"line\": \"tcp:127.0.0.1:" << r.ports()[i] << "\""
            << (r.kinds()[i] == Kind::InForce ? std::string(", \"network\": ") + kNetwork : "")
            << "}";
    }
    out << "]}\n";
    if (!out.flush()) fail("cannot write " + path);
    return path;
}

// How many healthy boards ("h<i>") the JSON lines of `path` report as anything but ok.
int healthyNotOk(const std::string& path) {
    std::ifstream in(path);
    int count = 0;
    int lines = 0;
    for (std::string line; std::getline(in, line); ++lines) {
        if (line.find("\"name\":\"h") != std::string::npos &&
            line.find("\"outcome\":\"ok\"") == std::string::npos)
            ++count;
    }
    if (lines == 0) throw std::runtime_error("no results in " + path);
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    int boards = 1000;
    double timeout = 2;
    std::string results;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--boards") boards = std::atoi(argv[i + 1]);
        if (name == "--timeout") timeout = std::atof(argv[i + 1]);
        if (name == "--out") results = argv[i + 1];
    }
    try {
        rlimit files{};
        if (::getrlimit(RLIMIT_NOFILE, &files) == 0) {
            files.rlim_cur = files.rlim_max;
            ::setrlimit(RLIMIT_NOFILE, &files);
        }
        char dir[] = "/tmp/quillferry-fleet-bench-XXXXXX";
        if (::mkdtemp(dir) == nullptr) fail("mkdtemp");
        const std::string jobs = std::to_string(boards);
        const std::string limit = std::to_string(timeout);

        Run fleet;
        double loop = 0;
        {
            Responders all(boards, [](int) { return Kind::Healthy; });
            const std::string inv = inventory(std::string(dir) + "/all.json", all);
            // The median of five fleet runs: the machine's other work moves single ones.
            std::vector<Run> fleets;
            for (int i = 0; i < 5; ++i)
                fleets.push_back(runCtl({"--inventory", inv, "--jobs", jobs, "probe"}));
            std::sort(fleets.begin(), fleets.end(),
                      [](const Run& a, const Run& b) { return a.seconds < b.seconds; });
            fleet = fleets[2];
            for (const Run& r : fleets) {
                fleet.maxRssKiB = std::max(fleet.maxRssKiB, r.maxRssKiB);
                if (r.status != 0) fleet.status = r.status;
            }
            const auto start = Clock::now();
            for (const int port : all.ports()) {
                const Run one =
                    runCtl({"--device", "tcp:127.0.0.1:" + std::to_string(port), "probe"});
                if (one.status != 0) throw std::runtime_error("a single probe failed");
            }
            loop = std::chrono::duration<double>(Clock::now() - start).count();
        }
        Run silent;
        {
            Responders tenthSilent(
                boards, [](int i) { return i % 10 == 0 ? Kind::Silent : Kind::Healthy; });
            const std::string inv = inventory(std::string(dir) + "/silent.json", tenthSilent);
            silent = runCtl({"--inventory", inv, "--jobs", jobs, "--timeout", limit, "probe"});
        }
        // Every other board hostile, each kind as often; the healthy ones must all answer.
        Run hostile;
        int hostileHealthyFailed = -1;
        {
            Responders half(boards, [](int i) {
                return i % 2 == 0 ? Kind::Healthy : kHostile[(i / 2) % std::size(kHostile)];
            });
            const std::string inv = inventory(std::string(dir) + "/hostile.json", half);
            const std::string out = std::string(dir) + "/hostile.jsonl";
            hostile = runCtl({"--inventory", inv, "--jobs", jobs, "--timeout", limit, "--format",
                              "jsonl", "--output", out, "probe"});
            hostileHealthyFailed = healthyNotOk(out);
        }
        // Every board sending without end: the most a board can make the client hold.
        Run flood;
        {
            Responders all(boards, [](int) { return Kind::Endless; });
            const std::string inv = inventory(std::string(dir) + "/flood.json", all);
            flood = runCtl({"--inventory", inv, "--jobs", jobs, "--timeout", limit, "probe"});
        }
        // Every board answering the status query with the longest reply the client takes.
        Run longest;
        {
            Responders all(boards, [](int) { return Kind::Longest; });
            const std::string inv = inventory(std::string(dir) + "/longest.json", all);
            longest = runCtl({"--inventory", inv, "--jobs", jobs, "--timeout", limit, "stat"});
        }
        // set-net --check against netconf on the same boards: what the comparison costs.
        Run check;
        Run netconf;
        {
            Responders all(boards, [](int) { return Kind::InForce; });
            const std::string inv = inventory(std::string(dir) + "/inforce.json", all);
            const auto median = [&](const std::vector<std::string>& args) {
                std::vector<Run> runs;
                for (int i = 0; i < 5; ++i) runs.push_back(runCtl(args));
                std::sort(runs.begin(), runs.end(),
                          [](const Run& a, const Run& b) { return a.seconds < b.seconds; });
                Run m = runs[2];
                for (const Run& r : runs) {
                    if (r.status != 0) m.status = r.status;
                }
                return m;
            };
            netconf = median({"--inventory", inv, "--jobs", jobs, "netconf"});
            check = median({"--inventory", inv, "--jobs", jobs, "set-net", "--check"});
        }
        std::system((std::string("rm -rf ") + dir).c_str());
        const double checkRatio = check.seconds / netconf.seconds;

        const double ratio = fleet.seconds / loop;
        const long maxRss = 16 * 1024;
        const bool met =
            fleet.status == 0 && ratio <= 0.02 && fleet.maxRssKiB <= maxRss && silent.status == 2 &&
            silent.seconds <= timeout * 1.1 && hostile.status == 2 && hostileHealthyFailed == 0 &&
            hostile.seconds <= timeout * 1.1 && hostile.maxRssKiB <= maxRss && flood.status == 2 &&
            flood.maxRssKiB <= maxRss && longest.status == 0 && longest.maxRssKiB <= maxRss &&
            check.status == 0 && netconf.status == 0 && checkRatio <= 1.2;
        std::printf(
            "fleet of %d boards, probe: %.3f s (median of 5, exit %d), %d runs one after the "
            "other: %.2f s, "
            "ratio %.2f %% (goal 2 %%)\n",
            boards, fleet.seconds, fleet.status, boards, loop, ratio * 100);
        std::printf("peak resident memory of the fleet command: %.1f MiB (goal 16 MiB)\n",
                    fleet.maxRssKiB / 1024.0);
        std::printf("every tenth board silent, timeout %.1f s: %.3f s (exit %d; goal %.2f s)\n",
                    timeout, silent.seconds, silent.status, timeout * 1.1);
        std::printf(
            "every other board hostile, timeout %.1f s: %.3f s, %.1f MiB (exit %d; goal %.2f s, "
            "16 MiB), healthy boards not ok: %d (goal 0)\n",
            timeout, hostile.seconds, hostile.maxRssKiB / 1024.0, hostile.status, timeout * 1.1,
            hostileHealthyFailed);
        std::printf("every board sending without end: %.1f MiB (exit %d; goal 16 MiB)\n",
                    flood.maxRssKiB / 1024.0, flood.status);
        std::printf("every board answering stat with 8 KiB: %.1f MiB (exit %d; goal 16 MiB)\n",
                    longest.maxRssKiB / 1024.0, longest.status);
        std::printf(
            "set-net --check of %d boards in sync: %.3f s, netconf of the same: %.3f s (medians "
            "of 5, exit %d and %d), ratio %.2f (goal 1.2)\n",
            boards, check.seconds, netconf.seconds, check.status, netconf.status, checkRatio);
        if (!results.empty()) {
            std::ofstream(results)
                << "{\"boards\": " << boards << ", \"fleet_seconds\": " << fleet.seconds
                << ", \"loop_seconds\": " << loop << ", \"fleet_max_rss_kib\": " << fleet.maxRssKiB
                << ", \"silent_timeout_seconds\": " << timeout
                << ", \"silent_fleet_seconds\": " << silent.seconds
                << ", \"hostile_fleet_seconds\": " << hostile.seconds
                << ", \"hostile_fleet_max_rss_kib\": " << hostile.maxRssKiB
                << ", \"hostile_healthy_not_ok\": " << hostileHealthyFailed
                << ", \"flood_fleet_max_rss_kib\": " << flood.maxRssKiB
                << ", \"longest_replies_fleet_max_rss_kib\": " << longest.maxRssKiB
                << ", \"check_seconds\": " << check.seconds
                << ", \"netconf_seconds\": " << netconf.seconds << "}\n";
        }
        std::printf("%s\n", met ? "all targets met" : "a target missed");
        return met ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quillferry_fleet_bench: %s\n", e.what());
        return 2;
    }
}
