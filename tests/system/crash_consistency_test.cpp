// SPDX-License-Identifier: Apache-2.0
// The daemon killed at random moments of an apply leaves every file old or whole, and serves
// again; a disk that does not take renames and removals for good fails them.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "board.h"
#include "board_conf.h"
#include "expect_text.h"

namespace qftest {
namespace {

constexpr int kKills = 40;
constexpr const char* kRecord = "/opt/.cmd.txt";
constexpr const char* kMissing = "(missing)";

// Each file the daemon writes, with every content that it may hold.
using Contents = std::map<std::string, std::set<std::string>>;

// Request `i` as a line, adding what it writes into each file to `allowed`. Every value differs
// from the request before; long container lists make most of an apply writing files.
std::string request(int i, Contents& allowed) {
    BoardConf conf;
    conf.v6 = i % 2 == 1;
    conf.net = i;
    conf.idc = "dc" + std::to_string(i);
    conf.pod = i;
    conf.containers = 24 - 8 * (i % 3);
    for (const auto& [file, content] : conf.files()) allowed[file].insert(content);
    allowed[kRecord].insert(conf.record("u" + std::to_string(i)));
    return conf.line("u" + std::to_string(i));
}

// The files as the board holds them, or kMissing.
std::map<std::string, std::string> snapshot(const SimulatedBoard& board, const Contents& files) {
    std::vector<std::string> names;
    for (const auto& entry : files) names.push_back(entry.first);
    std::map<std::string, std::string> got = board.files(names);
    for (const std::string& name : names) got.emplace(name, kMissing);
    return got;
}

using CrashConsistency = BoardTest;

TEST_F(CrashConsistency, KilledWhileApplyingLeavesEveryFileWhole) {
    Contents allowed;
    request(0, allowed);  // the longest container list: names every file
    // Before any request: the files are the board's.
    SimulatedBoard& board = boot(BoardOptions::withInterfaceStubs());
    const std::map<std::string, std::string> initial = snapshot(board, allowed);
    for (const auto& [f, content] : initial) allowed[f].insert(content);

    // Each round kills the daemon at a random moment of its second apply, more often early
    // (the share squared), where the record and the host files are written.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 2; ++i) ASSERT_NE(board.request(request(i, allowed), 15000), "");
    const std::chrono::duration<double, std::micro> apply =
        (std::chrono::steady_clock::now() - start) / 2;
    // A failure is replayed with QUILLFERRY_TEST_SEED set to the seed it printed.
    const char* given = std::getenv("QUILLFERRY_TEST_SEED");
    const unsigned seed = given != nullptr ? static_cast<unsigned>(std::strtoul(given, nullptr, 10))
                                           : std::random_device{}();
    std::printf("crash consistency: QUILLFERRY_TEST_SEED=%u\n", seed);
    RecordProperty("seed", static_cast<int>(seed));
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> share(0, 1);

    for (int kill = 0, sent = 2; kill < kKills && !HasFailure(); ++kill, sent += 2) {
        ASSERT_NE(board.request(request(sent, allowed), 15000), "");
        board.send(request(sent + 1, allowed) + "\n");
        const double x = share(rng);
        std::this_thread::sleep_for(apply * x * x);
        board.stopDaemon();

        for (const auto& [f, got] : snapshot(board, allowed)) {
            EXPECT_EQ(allowed[f].count(got), 1u) << "kill " << kill << ": " << f << ": " << got;
            // Once replaced, the old content (or the absence of the file) never returns.
            if (got != initial.at(f)) allowed[f].erase(initial.at(f));
        }
        board.startDaemon();  // waits for the probe's acknowledgement
        EXPECT_HAS(board.request(R"({"cmd":"get_net_conf","uuid":"q"})"), R"("ret_val":0,)");
    }
}

using FailingDisk = BoardTest;

// A folder that cannot be flushed (opened for its flush) leaves the record and the state file
// not on disk for good: both are logged, and the apply and the clear change nothing more (-2).
TEST_F(FailingDisk, FolderThatCannotBeFlushedFailsTheApplyAndTheClear) {
    board_ = std::make_unique<SimulatedBoard>(BoardOptions::withInterfaceStubs());
    SimulatedBoard& board = *board_;
    std::string why;
    if (board.run({QF_FAULT_EXEC, "folder-open", "/bin/true"}, &why) == 77) GTEST_SKIP() << why;
    board.startDaemon({}, true, {QF_FAULT_EXEC, "folder-open"});
    const BoardConf conf;
    EXPECT_EQ(board.request(conf.line("a"), 15000), setReply("a", -2));
    EXPECT_EQ(board.request(qfclient::compactJson(qfclient::clearRequest("c", false)), 15000),
              setReply("c", -2));
    const std::string unflushed = ": its folder cannot be flushed: Input/output error\n";
    const std::string refusal =
        "[QuillFerry] cannot write /opt/.cmd.txt" + unflushed +
        "[QuillFerry] cannot write /var/lib/quillferry/in-force.json" + unflushed +
        "[QuillFerry] set_net_conf not carried out: what is in force could not be recorded\n";
    std::string written;  // the daemon's lines that say what failed
    for (const std::string& line : lines(board.log())) {
        if (line.find("cannot") != std::string::npos ||
            line.find("not carried") != std::string::npos)
            written += line;
    }
    EXPECT_EQ(written, refusal + refusal) << board.log();
    EXPECT_EQ(board.run({"cat", "/var/log/ifcmd.log"}), 1) << "an interface command ran";
}

}  // namespace
}  // namespace qftest
