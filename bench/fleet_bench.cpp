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
// make the client hold. Last, per kind of line (raw TCP, telnet, TLS, telnet inside TLS,
// SSH through OpenSSH's sshd), a smaller fleet at once against as many single probes one
// after the other, and the fleet's peak memory.
//
// Responders and clients share the machine, so the kernel's loopback TCP is most of the
// fleet's time.
//
//   quillferry_fleet_bench [--boards N] [--line-boards N] [--timeout SECONDS] [--out FILE]
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
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

#include "responders.h"
#include "test_pki.h"
#include "test_sshd.h"

namespace {

using qfbench::Clock;
using qfbench::fail;
using qfbench::Kind;
using qfbench::kNetwork;
using qfbench::Responders;

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

// An inventory of one board per entry of `lines` (its members but the name): "h<i>" for a
// healthy board, "x<i>" for another.
template <typename Healthy>
std::string inventory(const std::string& path, const std::vector<std::string>& lines,
                      Healthy healthy) {
    std::ofstream out(path);
    out << "{\"boards\": [\n";
    for (std::size_t i = 0; i < lines.size(); ++i)
        out << (i == 0 ? "" : ",\n") << "{\"name\": \"" << (healthy(i) ? 'h' : 'x') << i << "\", "
            << lines[i] << "}";
    out << "]}\n";
    if (!out.flush()) fail("cannot write " + path);
    return path;
}

// The inventory of the responders' boards: "h<i>" for a healthy board, "x<i>" for another.
std::string inventory(const std::string& path, const Responders& r) {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < r.ports().size(); ++i)
        lines.push_back(
            "\"line\": \"tcp:127.0.0.1:" + std::to_string(r.ports()[i]) + "\"" +
            (r.kinds()[i] == Kind::InForce ? std::string(", \"network\": ") + kNetwork : ""));
    return inventory(path, lines, [&](std::size_t i) {
        return r.kinds()[i] == Kind::Healthy || r.kinds()[i] == Kind::InForce;
    });
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

// A fleet over one kind of line, at once against one board after the other.
struct LineFigures {
    const char* kind;
    Run fleet;            // the median of three, with the highest peak memory
    double loop = 0;      // the single probes one after the other
    std::string skipped;  // why it was not measured
};

// Measures `addresses`: one fleet probe of all at once (the median of three) against a
// probe of each one after the other. `files` are the options that secure each line, as
// command line words and as inventory members.
LineFigures measureLines(const char* kind, const std::string& dir,
                         const std::vector<std::string>& addresses,
                         const std::vector<std::string>& files, const std::string& members) {
    LineFigures f{kind, {}, 0, ""};
    std::vector<std::string> lines;
    lines.reserve(addresses.size());
    for (const std::string& a : addresses) {
        std::string line = "\"line\": \"";
        line.append(a).append("\"").append(members);
        lines.push_back(std::move(line));
    }
    const std::string inv =
        inventory(dir + "/" + kind + ".json", lines, [](std::size_t) { return true; });
    std::vector<Run> fleets;
    fleets.reserve(3);
    for (int i = 0; i < 3; ++i) {
        fleets.push_back(
            runCtl({"--inventory", inv, "--jobs", std::to_string(addresses.size()), "probe"}));
    }
    std::sort(fleets.begin(), fleets.end(),
              [](const Run& a, const Run& b) { return a.seconds < b.seconds; });
    f.fleet = fleets[1];
    for (const Run& r : fleets) {
        f.fleet.maxRssKiB = std::max(f.fleet.maxRssKiB, r.maxRssKiB);
        if (r.status != 0) f.fleet.status = r.status;
    }
    const auto start = Clock::now();
    for (const std::string& a : addresses) {
        std::vector<std::string> args = {"--device", a};
        args.insert(args.end(), files.begin(), files.end());
        args.push_back("probe");
        if (runCtl(args).status != 0)
            throw std::runtime_error(std::string("a single probe over ") + kind + " failed");
    }
    f.loop = std::chrono::duration<double>(Clock::now() - start).count();
    return f;
}

// Per kind of line, `boards` boards: raw TCP, telnet, TLS and telnet inside TLS against
// the responders (certificates made here), SSH against OpenSSH's sshd (needs root), whose
// port command answers the probe.
std::vector<LineFigures> measureKinds(int boards, const std::string& dir) {
    const qftest::TestPki pki(dir);
    const qfbench::TlsFiles tls{pki.server, pki.serverKey};
    std::vector<LineFigures> all;
    const struct {
        const char* kind;
        Kind responder;
        const char* scheme;
    } kinds[] = {
        {"tcp", Kind::Healthy, "tcp:127.0.0.1:"},
        {"telnet", Kind::Telnet, "telnet:127.0.0.1:"},
        {"tls", Kind::Tls, "tls:localhost:"},
        {"telnets", Kind::Telnets, "telnets:localhost:"},
    };
    for (const auto& k : kinds) {
        const Responders responders(
            boards, [&](int) { return k.responder; }, 0, tls);
        std::vector<std::string> addresses;
        for (const int port : responders.ports())
            addresses.push_back(k.scheme + std::to_string(port));
        const bool secured = k.responder == Kind::Tls || k.responder == Kind::Telnets;
        all.push_back(measureLines(
            k.kind, dir, addresses,
            secured ? std::vector<std::string>{"--ca", pki.ca} : std::vector<std::string>{},
            secured ? ", \"ca\": \"" + pki.ca + "\"" : ""));
    }
    if (const std::string why = qftest::TestSshd::missing(); !why.empty()) {
        all.push_back({"ssh", {}, 0, why});
        return all;
    }
    const std::string sshdDir = dir + "/sshd";
    ::mkdir(sshdDir.c_str(), 0700);
    const qftest::TestSshd sshd(sshdDir, {{"admin+port01",
                                           "head -n 1 >/dev/null; printf "
                                           "'Quillferry_Ok!!!\\n\\000'; cat "
                                           ">/dev/null"}});
    const std::vector<std::string> addresses(static_cast<std::size_t>(boards),
                                             sshd.address("admin+port01"));
    all.push_back(measureLines("ssh", dir, addresses,
                               {"--identity", sshd.clientKey(), "--known-hosts", sshd.knownHosts()},
                               ", \"identity\": \"" + sshd.clientKey() + "\", \"known_hosts\": \"" +
                                   sshd.knownHosts() + "\""));
    return all;
}

}  // namespace

int main(int argc, char** argv) {
    int boards = 1000;
    int lineBoards = 100;
    double timeout = 2;
    std::string results;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--boards") boards = static_cast<int>(std::strtol(argv[i + 1], nullptr, 10));
        if (name == "--line-boards")
            lineBoards = static_cast<int>(std::strtol(argv[i + 1], nullptr, 10));
        if (name == "--timeout") timeout = std::strtod(argv[i + 1], nullptr);
        if (name == "--out") results = argv[i + 1];
    }
    try {
        qfbench::raiseFileLimit();
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
            fleets.reserve(5);
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
                return i % 2 == 0 ? Kind::Healthy
                                  : qfbench::kHostile[(i / 2) % std::size(qfbench::kHostile)];
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
                runs.reserve(5);
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
        // Every kind of line, a smaller fleet at once against one board after the other.
        const std::vector<LineFigures> kinds = measureKinds(lineBoards, dir);
        std::system((std::string("rm -rf ") + dir).c_str());
        const double checkRatio = check.seconds / netconf.seconds;

        const double ratio = fleet.seconds / loop;
        // 16 MiB for what the boards make the client hold, and some 3.2 MiB that every run
        // has mapped of the libraries of TLS, SSH and name lookups (OpenSSL, libssh with
        // Kerberos, c-ares), whatever its lines are.
        const long maxRss = 20L * 1024;
        const bool met =
            fleet.status == 0 && ratio <= 0.02 && fleet.maxRssKiB <= maxRss && silent.status == 2 &&
            silent.seconds <= timeout * 1.1 && hostile.status == 2 && hostileHealthyFailed == 0 &&
            hostile.seconds <= timeout * 1.1 && hostile.maxRssKiB <= maxRss && flood.status == 2 &&
            flood.maxRssKiB <= maxRss && longest.status == 0 && longest.maxRssKiB <= maxRss &&
            std::all_of(
                kinds.begin(), kinds.end(),
                [](const LineFigures& k) { return !k.skipped.empty() || k.fleet.status == 0; }) &&
            check.status == 0 && netconf.status == 0 && checkRatio <= 1.2;
        std::printf(
            "fleet of %d boards, probe: %.3f s (median of 5, exit %d), %d runs one after the "
            "other: %.2f s, "
            "ratio %.2f %% (goal 2 %%)\n",
            boards, fleet.seconds, fleet.status, boards, loop, ratio * 100);
        std::printf("peak resident memory of the fleet command: %.1f MiB (goal 20 MiB)\n",
                    fleet.maxRssKiB / 1024.0);
        std::printf("every tenth board silent, timeout %.1f s: %.3f s (exit %d; goal %.2f s)\n",
                    timeout, silent.seconds, silent.status, timeout * 1.1);
        std::printf(
            "every other board hostile, timeout %.1f s: %.3f s, %.1f MiB (exit %d; goal %.2f s, "
            "20 MiB), healthy boards not ok: %d (goal 0)\n",
            timeout, hostile.seconds, hostile.maxRssKiB / 1024.0, hostile.status, timeout * 1.1,
            hostileHealthyFailed);
        std::printf("every board sending without end: %.1f MiB (exit %d; goal 20 MiB)\n",
                    flood.maxRssKiB / 1024.0, flood.status);
        std::printf("every board answering stat with 8 KiB: %.1f MiB (exit %d; goal 20 MiB)\n",
                    longest.maxRssKiB / 1024.0, longest.status);
        for (const LineFigures& k : kinds) {
            if (!k.skipped.empty()) {
                std::printf("%-8s not measured: %s\n", k.kind, k.skipped.c_str());
                continue;
            }
            std::printf(
                "%-8s %d boards at once: %.3f s (median of 3, exit %d), one after the "
                "other: %.2f s, peak resident memory %.1f MiB\n",
                k.kind, lineBoards, k.fleet.seconds, k.fleet.status, k.loop,
                k.fleet.maxRssKiB / 1024.0);
        }
        std::string kindsJson;
        for (const LineFigures& k : kinds) {
            if (!k.skipped.empty()) continue;
            kindsJson += std::string(kindsJson.empty() ? "" : ", ") + "\"" + k.kind +
                         "\": {\"fleet_seconds\": " + std::to_string(k.fleet.seconds) +
                         ", \"loop_seconds\": " + std::to_string(k.loop) +
                         ", \"fleet_max_rss_kib\": " + std::to_string(k.fleet.maxRssKiB) + "}";
        }
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
                << ", \"netconf_seconds\": " << netconf.seconds
                << ", \"line_boards\": " << lineBoards << ", \"lines\": {" << kindsJson << "}}\n";
        }
        std::printf("%s\n", met ? "all targets met" : "a target missed");
        return met ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quillferry_fleet_bench: %s\n", e.what());
        return 2;
    }
}
