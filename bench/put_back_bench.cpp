// SPDX-License-Identifier: Apache-2.0
// How long a verified apply takes on the simulated board with the real ifupdown and kernel
// (tools/run-put-back-bench): a plain apply, one whose gateway answers, and one whose gateway
// is silent for its one second and whose previous configuration is put back, IPv4 and IPv6.
// The put-back itself is the time the daemon logs for it. Prints a table; it measures and
// judges nothing.
//
//   quillferry_put_back_bench [--samples N]
// Exit status: 0 measured, 2 the measurement failed.
#include <json/json.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "board.h"
#include "board_conf.h"

namespace {

using qftest::BoardConf;
using qftest::SimulatedBoard;
using Clock = std::chrono::steady_clock;

constexpr int kReplyTimeoutMs = 60000;
constexpr int kSilentSeconds = 1;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}

struct Series {
    std::vector<double> ms;

    double median() const {
        std::vector<double> v = ms;
        std::sort(v.begin(), v.end());
        return v.size() % 2 == 1 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    }
    double min() const { return *std::min_element(ms.begin(), ms.end()); }
    double max() const { return *std::max_element(ms.begin(), ms.end()); }
};

// Sends `c` (verified for `seconds` when not 0) and returns the time to its reply, which must
// carry `retVal`.
double timed(SimulatedBoard& board, const BoardConf& c, int seconds, int retVal) {
    Json::Value request = c.request("bench");
    if (seconds > 0) request["verify_gateway"] = seconds;
    const auto start = Clock::now();
    const std::string reply = board.request(qfclient::compactJson(request), kReplyTimeoutMs);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (reply.find("\"ret_val\":" + std::to_string(retVal) + ",") == std::string::npos)
        fail("expected ret_val " + std::to_string(retVal) + ", got: " + reply);
    return ms;
}

// The put-back's own time, as the daemon logged it since `mark`.
double loggedPutBack(const SimulatedBoard& board, const qftest::LogMark& mark) {
    const std::string log = board.logSince(mark);
    const std::string needle = "the previous configuration is back (";
    const std::size_t at = log.rfind(needle);
    if (at == std::string::npos) fail("no put-back in the log: " + log);
    return std::strtod(log.c_str() + at + needle.size(), nullptr);
}

void row(const char* what, const Series& s) {
    std::printf("| %s | %.0f ms | %.0f ms | %.0f ms |\n", what, s.median(), s.min(), s.max());
}

void measure(SimulatedBoard& board, bool v6, int samples) {
    // Two configurations whose gateways answer (taking turns, so each is applied) and one
    // whose gateway is silent.
    BoardConf a;
    BoardConf b;
    BoardConf silent;
    a.v6 = b.v6 = silent.v6 = v6;
    a.net = v6 ? 11 : 1;
    b.net = v6 ? 12 : 2;
    silent.net = v6 ? 13 : 3;
    std::string out;
    const std::string mask = v6 ? "/64 nodad" : "/24";
    if (board.run({"sh", "-c",
                   "nsenter --net=/run/netns/far ip addr add " + a.gateway() + mask +
                       " dev uplink0 && nsenter --net=/run/netns/far ip addr add " + b.gateway() +
                       mask + " dev uplink0"},
                  &out) != 0)
        fail("cannot give the far end its gateways: " + out);

    Series apply;
    Series kept;
    Series putBack;
    Series putBackOwn;
    for (int i = 0; i < samples; ++i) apply.ms.push_back(timed(board, i % 2 ? a : b, 0, 0));
    for (int i = 0; i < samples; ++i) kept.ms.push_back(timed(board, i % 2 ? a : b, 5, 0));
    for (int i = 0; i < samples; ++i) {
        const qftest::LogMark mark = board.mark();
        putBack.ms.push_back(timed(board, silent, kSilentSeconds, -5));
        putBackOwn.ms.push_back(loggedPutBack(board, mark));
    }
    std::printf("\n%s, %d samples each:\n\n", v6 ? "IPv6" : "IPv4", samples);
    std::printf("| | median | min | max |\n|---|---|---|---|\n");
    row("apply", apply);
    row("verified apply, gateway answers", kept);
    row("verified apply, gateway silent for 1 s, put back", putBack);
    row("the put-back in it", putBackOwn);
    std::printf("\nput-back / apply (medians): %.2f\n", putBackOwn.median() / apply.median());
}

}  // namespace

int main(int argc, char** argv) {
    int samples = 10;
    if (argc == 3 && std::string(argv[1]) == "--samples")
        samples = static_cast<int>(std::strtol(argv[2], nullptr, 10));
    if ((argc != 1 && argc != 3) || samples < 1) {
        std::fprintf(stderr, "usage: %s [--samples N]\n", argv[0]);
        return 2;
    }
    std::string why;
    if (!SimulatedBoard::available(why)) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 2;
    }
    try {
        SimulatedBoard board;
        board.startDaemon();
        for (const bool v6 : {false, true}) measure(board, v6, samples);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "benchmark failed: %s\n", e.what());
        return 2;
    }
    return 0;
}
