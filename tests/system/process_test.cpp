// SPDX-License-Identifier: Apache-2.0
// The daemon as a process among others: what its parent left, SIGTERM mid-apply, a log pipe
// that nobody reads.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "board.h"
#include "board_conf.h"
#include "core/unique_fd.h"
#include "expect_text.h"

namespace qftest {
namespace {

constexpr int kApplyMs = 15000;

std::string setNetConf(const std::string& uuid, const std::string& idc = "dc1") {
    BoardConf conf;
    conf.containers = 0;
    Json::Value request = conf.request(uuid);
    request["location"]["idc"] = idc;  // unchecked: the tests send unfit ones too
    return qfclient::compactJson(request);
}

using DaemonProcess = BoardTest;

// Started by a parent that closed 0, 1 and 2, ignores SIGCHLD and blocks SIGTERM (all of which
// exec keeps): nothing but replies reaches the line, a failing ifup is not answered 0 (it fails
// only once its writes to the standard output and error it inherits succeed), and SIGTERM still
// stops the daemon.
TEST_F(DaemonProcess, WhatItsParentLeftIsResetAndALogNobodyReadsSilencesNothing) {
    board_ = std::make_unique<SimulatedBoard>(BoardOptions::withInterfaceStubs());
    SimulatedBoard& board = *board_;
    board.putFile("var/tmp/fault.ifup", "echo noise && echo noise >&2 && exit 3\n");
    board.startDaemon({}, true,
                      {"perl", "-e",
                       "use POSIX; $SIG{CHLD} = 'IGNORE'; "
                       "sigprocmask(SIG_BLOCK, POSIX::SigSet->new(SIGTERM)); "
                       "POSIX::close($_) for 0 .. 2; exec {$ARGV[0]} @ARGV or exit 99"});
    EXPECT_EQ(board.exchange(setNetConf("c"), kApplyMs), setReply("c", 3 << 8));
    board.signalDaemon(SIGTERM);
    EXPECT_EQ(board.waitForExit(5000), 0);

    // Standard error into a pipe that nobody drains: once it and the daemon's own buffer are
    // full, lines are dropped rather than written, the line is still served, and the count is
    // reported once the pipe flows.
    ASSERT_EQ(board.run({"mkfifo", "/var/tmp/log.fifo"}), 0);
    // Held open for reading from the start, read only at the end.
    const UniqueFd log(::open(board.path("var/tmp/log.fifo").c_str(), O_RDONLY | O_NONBLOCK));
    ASSERT_TRUE(log.valid());
    board.startDaemon({}, true, {"sh", "-c", R"(exec "$0" 2>/var/tmp/log.fifo)"});
    // Each refused request logs its long value twice: 150 of them fill both several times.
    const std::string refused = setNetConf("r", std::string(1500, 'x') + ",");
    for (int i = 0; i < 150; ++i) ASSERT_EQ(board.request(refused), setReply("r", -1)) << i;
    std::string text;
    const auto drain = [&] {
        char chunk[65536];
        for (ssize_t n; (n = ::read(log.get(), chunk, sizeof(chunk))) > 0;)
            text.append(chunk, static_cast<std::size_t>(n));
    };
    drain();
    ASSERT_NE(board.request(refused), "");
    // What the daemon still holds follows as the pipe is read.
    const char* dropped = " lines dropped while the log took none\n";
    for (int i = 0; i < 100 && text.find(dropped) == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        drain();
    }
    EXPECT_HAS(text, dropped);
    // Whole lines only: each begins as one of the daemon's messages does.
    const char* starts[] = {"[QuillFerry] ", "QuillFerry ",     "start monitor",
                            "create dir",    "readCmdRecords ", "writeCmd2File "};
    for (const std::string& line : lines(text)) {
        bool known = false;
        for (const char* start : starts) known = known || line.rfind(start, 0) == 0;
        EXPECT_TRUE(known) << line.substr(0, 80);
    }
}

// SIGTERM between ifdown and ifup: the apply is finished and answered, a request that waited
// is dropped, then the daemon ends. Idle, it ends at once.
TEST_F(DaemonProcess, SigtermStopsOnceTheApplyInProgressIsAnswered) {
    SimulatedBoard& board = boot(BoardOptions::withInterfaceStubs());
    board.putFile("var/tmp/fault.ifup", "sleep 1\n");
    ASSERT_TRUE(board.send(setNetConf("t") + "\n"));
    const auto ifcmds = [&] { return board.readFile("var/log/ifcmd.log"); };
    for (int i = 0; i < 500 && ifcmds().find("ifup eth0") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_HAS(ifcmds(), "ifdown eth0");
    board.signalDaemon(SIGTERM);
    ASSERT_TRUE(board.send(R"({"cmd":"get_stat","uuid":"late"})"
                           "\n"));
    std::string reply;
    board.link().readLine(reply, kApplyMs);
    EXPECT_EQ(reply, setReply("t", 0));
    EXPECT_EQ(board.waitForExit(5000), 0);
    EXPECT_HAS(board.readFile("etc/network/interfaces"), "address 10.0.0.8/24");
    EXPECT_HAS(board.log(),
               "[QuillFerry] SIGTERM: stopping once the request in progress is answered\n");
    EXPECT_HAS(board.log(),
               "[QuillFerry] stopping: 1 waiting requests dropped\n[QuillFerry] quillferry stop\n");
    std::string rest;
    board.link().readSome(rest, 200);
    EXPECT_EQ(rest, "");

    board.startDaemon();
    const auto start = std::chrono::steady_clock::now();
    board.signalDaemon(SIGTERM);
    EXPECT_EQ(board.waitForExit(2000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

}  // namespace
}  // namespace qftest
