// SPDX-License-Identifier: Apache-2.0
// The daemon on an unconfigured board: the lines served and logged, a device that appears
// later, a controller that stops reading, the debug switch (marker file and QUILLFERRY_DEBUG).
#include <fcntl.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "board.h"

namespace qftest {
namespace {

std::string statReply(const std::string& uuidJson) {
    return R"({"cmd":"get_stat","cpu_pwr_lmt":100,"cpu_temp":36000,)"
           R"("netconf":0,"ret_val":0,"uuid":)" +
           uuidJson + "}\n";
}

using SerialProtocol = BoardTest;

TEST_F(SerialProtocol, EachLineGetsItsReplyAndLogLinesAndAGivenUpReplyIsEnded) {
    SimulatedBoard& board = boot();
    // The board's own meminfo and sized /data (the readings themselves are checked on a
    // scratch board).
    board.putFile("meminfo", "MemTotal:  7612345 kB\nMemFree: 6 kB\n");
    board.putFile("sys/kernel/gpu/gpu_model", "Adreno 650\n");
    const std::string probe(golden::kProbe);
    const std::string ack(golden::kAck);
    const std::string probed = "[QuillFerry] quillferry status check\n";
    // The line buffer holds 2047 bytes, a 2046-byte line and its newline: a longer line's
    // head is one request text and its tail is dropped, never served as a request.
    const std::string tail = R"({"cmd":"get_stat","uuid":"tail"})";
    std::string head = R"({"cmd":"get_stat","uuid":"head")";
    head += std::string(2047 - head.size() - 1, ' ') + "}";
    const auto dropped = [](std::size_t bytes) {
        return "[QuillFerry] overlong line: discarded " + std::to_string(bytes) +
               " bytes after the first 2047\n";
    };
    const struct {
        std::string line;
        std::string reply;
        std::string log;
    } cases[] = {
        {probe, ack, probed},
        {probe + R"( {"cmd":"get_stat"})", ack, probed},
        {R"({"cmd":5,"uuid":"1"})", "", "read fail\n"},
        {R"({"cmd":"GET_STAT","uuid":"1"})", "", "[QuillFerry] Unkown command\n"},
        {R"([{"cmd":"get_stat"}])", "", ""},
        {R"({"cmd":"get_stat")", "", ""},
        {probe.substr(0, 35), "", ""},
        {R"({"cmd":"get_stat"})", statReply("null"), ""},
        {R"({"cmd":"get_hardware_conf","uuid":"hw"})",
         R"({"cmd":"get_hardware_conf","cpu":"QCS8250","gpu":"Adreno650","ram":"8GLPDDR5",)"
         R"("ret_val":0,"rom":"128GUFS3.0","uuid":"hw"})"
         "\n",
         ""},
        {head.substr(0, 2045) + "}", statReply(R"("head")"), ""},
        {head + tail, statReply(R"("head")"), dropped(tail.size() + 1)},
        // A zero byte ends the request text, but not the line: its tail is still dropped.
        {std::string(1, '\0') + std::string(2100, 'z') + tail, "",
         dropped(2101 - 2047 + tail.size() + 1)},
        {std::string(R"({"cmd":"get_stat","uuid":"a)") + '\0' + R"(b"})", "", ""},
        // Nested deeper than any request needs: dropped unparsed.
        {std::string(2000, '['), "",
         "[QuillFerry] request dropped: nested deeper than 64 levels\n"},
    };
    for (const auto& c : cases) {
        const LogMark m = board.mark();
        EXPECT_EQ(board.exchange(c.line), c.reply) << c.line.substr(0, 40);
        EXPECT_EQ(board.logSince(m), c.log) << c.line.substr(0, 40);
    }

    // A controller that stops reading: the reply the line does not take within 5 s is given
    // up, and ended before the next one, so that each later reply is a whole line of its own.
    const std::string request = R"({"cmd":"get_hardware_conf","uuid":"x"})"
                                "\n";
    const LogMark m = board.mark();
    // Sent without waiting for room: the daemon stops reading while its write waits.
    const int fd = board.link().fd();
    ASSERT_EQ(::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK), 0);
    for (int i = 0; i < 2000 && !board.waitForLog("uart write failed", 0, Stream::Out, m); ++i)
        board.link().send(request, 20);
    ASSERT_TRUE(board.waitForLog("uart write failed", 10000, Stream::Out, m));
    std::string got;
    while (board.link().readSome(got, 1000) == qfclient::SerialLink::Status::Ok) {
    }
    // A newline first ends whatever request was torn when the line was full.
    got += board.exchange(
        "\n"
        R"({"cmd":"get_stat","uuid":"after"})",
        60000);
    std::size_t torn = 0;
    for (const std::string& line : lines(got)) {
        if (line.rfind(R"({"cmd":"get_hardware_conf",)", 0) == 0 &&
            line.rfind("}\n") == line.size() - 2)
            continue;
        if (line == statReply(R"("after")")) continue;
        ++torn;
        EXPECT_EQ(line.find(R"({"cmd")", 1), std::string::npos) << "replies glued: " << line;
    }
    EXPECT_EQ(torn, 1u);
    EXPECT_EQ(got.substr(got.rfind('\n', got.size() - 2) + 1), statReply(R"("after")"));
}

// A missing device is said once, with its path and the reason, however often it is tried.
TEST_F(SerialProtocol, DeviceThatAppearsLaterIsServed) {
    board_ = std::make_unique<SimulatedBoard>(BoardOptions{"", true, {}});  // ttyLater
    board_->startDaemon({}, false);
    const char* missing = "Uart Init failed: /dev/ttyMSM0: No such file or directory\n";
    ASSERT_TRUE(board_->waitForLog(missing, 5000, Stream::Out));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // two more attempts
    board_->plugTty();
    EXPECT_EQ(board_->log(Stream::Out), std::string(missing) + "open /dev/ttyMSM0!\n");
    EXPECT_EQ(board_->request(R"({"cmd":"get_stat","uuid":"late"})"), statReply(R"("late")"));
}

using DebugSwitch = BoardTest;

TEST_F(DebugSwitch, MarkerFileAndEnvironmentSwitchTheEcho) {
    SimulatedBoard& board = boot();
    // Whether a request is echoed, checking that the echo of its reply on both streams
    // follows the same switch.
    const auto echoes = [&] {
        const std::string request = R"({"cmd":"get_stat","uuid":"dbg"})";
        const LogMark m = board.mark();
        const std::string reply = board.exchange(request);
        const std::string err = board.logSince(m);
        const auto has = [](const std::string& text, const std::string& part) {
            return text.find(part) != std::string::npos;
        };
        const bool echoed = has(err, "[QuillFerry] Read From Uart Data:" + request + "\n");
        // Each echo is one line: the reply's own newline ends it.
        EXPECT_EQ(has(err, "Do Get Status Data:" + reply), echoed) << err;
        EXPECT_EQ(has(board.logSince(m, Stream::Out), "doGetStat res:" + reply), echoed);
        return echoed;
    };
    const char* marker = "var/tmp/quillferry/openlog.event";
    EXPECT_FALSE(echoes());
    // Another name, even one that starts as the marker's, switches nothing.
    board.putFile("var/tmp/quillferry/openlog.events", "");
    EXPECT_TRUE(board.waitForLog("name:openlog.events\n"));
    EXPECT_FALSE(echoes());
    for (const bool on : {true, false}) {  // each line is logged for the first time here
        board.putFile(marker, on ? "" : nullptr);
        EXPECT_TRUE(
            board.waitForLog(on ? "\nenable quillferry log\n" : "\ndisable quillferry log\n"));
        EXPECT_EQ(echoes(), on);
    }

    // On when the value starts with the four letters "true".
    for (const auto& [value, on] :
         {std::pair{"true", true}, {"trueish", true}, {"TRUE", false}, {"tru", false}}) {
        board.restartDaemon({{"QUILLFERRY_DEBUG", value}});
        EXPECT_EQ(echoes(), on) << value;
    }
    board.putFile(marker, "");  // present when the daemon starts
    board.restartDaemon();
    EXPECT_TRUE(echoes());
}

}  // namespace
}  // namespace qftest
