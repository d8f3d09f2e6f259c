// SPDX-License-Identifier: Apache-2.0
// Benchmark of quillferry-ctl on a fleet: N boards played by responders on loopback TCP
// ports (a child process that answers the probe), probed with one fleet command, against N
// `quillferry-ctl probe` runs one after the other, as a shell loop would; the fleet's peak
// resident memory; then the same fleet with every tenth board never answering, whose wall
// time should stay within the timeout plus 10 %.
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
#include <stdexcept>
#include <string>
#include <vector>

#include "core/constants.h"

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// The responders: one listening socket per board; every `silentEvery`-th board (0: none)
// takes its connection and never answers.
class Responders {
public:
    Responders(int boards, int silentEvery) {
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
        }
        pid_ = ::fork();
        if (pid_ < 0) fail("fork");
        if (pid_ == 0) serve(silentEvery);  // never returns
        for (const int fd : listeners_) ::close(fd);
    }
    ~Responders() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    const std::vector<int>& ports() const { return ports_; }

private:
    [[noreturn]] void serve(int silentEvery) {
        std::vector<pollfd> fds;
        std::vector<bool> silent;
        for (std::size_t i = 0; i < listeners_.size(); ++i) {
            fds.push_back({listeners_[i], POLLIN, 0});
            silent.push_back(silentEvery > 0 && i % static_cast<std::size_t>(silentEvery) == 0);
        }
        const std::size_t listeners = fds.size();
        std::vector<bool> connSilent(listeners);
        const std::string ack(qf::kProbeAck, qf::kProbeAckSize);
        char buf[4096];
        for (;;) {
            if (::poll(fds.data(), fds.size(), -1) < 0) _exit(1);
            for (std::size_t i = 0; i < fds.size(); ++i) {
                if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
                if (i < listeners) {
                    const int c = ::accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
                    if (c >= 0) {
                        fds.push_back({c, POLLIN, 0});
                        connSilent.push_back(silent[i]);
                    }
                    continue;
                }
                const ssize_t n = ::read(fds[i].fd, buf, sizeof(buf));
                if (n <= 0) {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;  // poll ignores it from now on
                } else if (!connSilent[i] && std::memchr(buf, '\n', static_cast<std::size_t>(n))) {
                    if (::write(fds[i].fd, ack.data(), ack.size()) < 0) _exit(1);
                }
            }
        }
    }

    std::vector<int> listeners_;
    std::vector<int> ports_;
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

std::string inventory(const std::string& path, const Responders& r) {
    std::ofstream out(path);
    out << "{\"boards\": [\n";
    for (std::size_t i = 0; i < r.ports().size(); ++i) {
        out << (i == 0 ? "" : ",\n") << "{\"name\": \"b" << i
            << "\", \"line\": \"tcp:127.0.0.1:" << r.ports()[i] << "\"}";
    }
    out << "]}\n";
    if (!out.flush()) fail("cannot write " + path);
    return path;
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

        Responders all(boards, 0);
        const std::string inv = inventory(std::string(dir) + "/all.json", all);
        // The median of five fleet runs: the machine's other work moves single ones.
        std::vector<Run> fleets;
        for (int i = 0; i < 5; ++i)
            fleets.push_back(runCtl({"--inventory", inv, "--jobs", jobs, "probe"}));
        std::sort(fleets.begin(), fleets.end(),
                  [](const Run& a, const Run& b) { return a.seconds < b.seconds; });
        Run fleet = fleets[2];
        for (const Run& r : fleets) {
            fleet.maxRssKiB = std::max(fleet.maxRssKiB, r.maxRssKiB);
            if (r.status != 0) fleet.status = r.status;
        }
        const auto start = Clock::now();
        for (const int port : all.ports()) {
            const Run one = runCtl({"--device", "tcp:127.0.0.1:" + std::to_string(port), "probe"});
            if (one.status != 0) throw std::runtime_error("a single probe failed");
        }
        const double loop = std::chrono::duration<double>(Clock::now() - start).count();

        Responders tenthSilent(boards, 10);
        const std::string inv2 = inventory(std::string(dir) + "/silent.json", tenthSilent);
        const Run silent =
            runCtl({"--inventory", inv2, "--jobs", jobs, "--timeout", limit, "probe"});
        std::system((std::string("rm -rf ") + dir).c_str());

        const double ratio = fleet.seconds / loop;
        const bool met = fleet.status == 0 && ratio <= 0.02 && fleet.maxRssKiB <= 16 * 1024 &&
                         silent.status == 2 && silent.seconds <= timeout * 1.1;
        std::printf(
            "fleet of %d boards, probe: %.3f s (median of 5, exit %d), %d runs one after the "
            "other: %.2f s, "
            "ratio %.2f %% (goal 2 %%)\n",
            boards, fleet.seconds, fleet.status, boards, loop, ratio * 100);
        std::printf("peak resident memory of the fleet command: %.1f MiB (goal 16 MiB)\n",
                    fleet.maxRssKiB / 1024.0);
        std::printf("every tenth board silent, timeout %.1f s: %.3f s (exit %d; goal %.2f s)\n",
                    timeout, silent.seconds, silent.status, timeout * 1.1);
        if (!results.empty()) {
            std::ofstream(results)
                << "{\"boards\": " << boards << ", \"fleet_seconds\": " << fleet.seconds
                << ", \"loop_seconds\": " << loop << ", \"fleet_max_rss_kib\": " << fleet.maxRssKiB
                << ", \"silent_timeout_seconds\": " << timeout
                << ", \"silent_fleet_seconds\": " << silent.seconds << "}\n";
        }
        std::printf("%s\n", met ? "all targets met" : "a target missed");
        return met ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quillferry_fleet_bench: %s\n", e.what());
        return 2;
    }
}
