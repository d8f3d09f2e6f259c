// quillferry-ctl's commands against a board the test plays on a pty pair: the client opens
// the slave end by its path, as it would a serial device; the test answers on the master.
#include "ctl/session.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "captured.h"
#include "client/serial_link.h"
#include "core/unique_fd.h"
#include "raw_pty.h"

namespace {

using Args = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

struct Outcome : Captured {
    long long ms = 0;  // how long the command took
};

class CtlSession : public ::testing::Test {
protected:
    // Non-blocking slave: a test fills the line until it takes no more.
    void SetUp() override {
        RawPty pty = openRawPty(O_NONBLOCK);
        device_ = pty.slavePath;
        slave_ = std::move(pty.slave);
        board_ = SerialLink(std::move(pty.master));
    }

    // Runs quillferry-ctl `args` on the pty, in this thread.
    Outcome run(Args args) const {
        args.insert(args.begin(), {"--device", device_});
        const ctl::ParseOutcome parsed = ctl::parseCommandLine(args, nullptr);
        EXPECT_EQ(parsed.kind, ctl::ParseOutcome::Kind::Run) << parsed.error;
        const auto start = Clock::now();
        Outcome o;
        static_cast<Captured&>(o) = capture([&](std::FILE* out, std::FILE* err) {
            return ctl::runCommand(parsed.options, out, err);
        });
        o.ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        return o;
    }

    // Runs `args` while the board answers the request with `answer`, and again every 100 ms
    // for two seconds while the client waits: late lines that keep coming must not hold it.
    Outcome exchange(const Args& args, const std::string& answer) {
        auto client = std::async(std::launch::async, [&] { return run(args); });
        std::string request;
        if (board_.readLine(request, 5000) == SerialLink::Status::Ok) {
            for (int i = 0; i < 20; ++i) {
                board_.send(answer);
                if (client.wait_for(std::chrono::milliseconds(100)) == std::future_status::ready)
                    break;
            }
        }
        return client.get();
    }

    std::string device_;
    UniqueFd slave_;
    SerialLink board_;
};

TEST_F(CtlSession, PrintsOnlyTheReplyToItsOwnRequest) {
    const auto line = [](const char* text) { return std::string(text) + "\n"; };
    const std::string stale = line(R"({"cmd":"get_stat","ret_val":0,"uuid":"old"})");
    const std::string ack("Quillferry_Ok!!!\n\0", 18);
    const std::string ok = line(R"({"ret_val":0,"uuid":"u"})");
    const std::string spaceless = line(R"({"uuid":"ab"})");
    const std::string none = line(R"({"uuid":null})");
    struct Case {
        Args args;
        std::string answer;
        std::string out;
        int status;
        bool discards;
    } const cases[] = {
        // A late reply and a late acknowledgement, zero byte and all, before the reply.
        {{"--uuid", "u", "stat"}, stale + ack + ok, ok, 0, true},
        // The zero byte of an acknowledgement whose line was read before this command.
        {{"--uuid", "u", "stat"}, std::string(1, '\0') + ok, ok, 0, false},
        // Only a late reply: this request is not answered.
        {{"--timeout", "0.3", "--uuid", "u", "stat"}, stale, "", 2, true},
        {{"probe"}, stale + ack, "Quillferry_Ok!!!\\n\\x00\n", 0, true},
        {{"--timeout", "0.3", "probe"}, "Quillferry_Ok!!!\n\n", "", 2, true},
        // The board echoes a uuid without its spaces, and null for a request without one.
        {{"send", R"({"cmd":"x","uuid":"a b"})"}, stale + spaceless, spaceless, 0, true},
        {{"send", R"({"cmd":"get_stat"})"}, stale + none, none, 0, true},
        // A line that is not JSON has no uuid to match: the first line answers it.
        {{"send", "hello"}, stale, stale, 0, false},
    };
    for (const Case& c : cases) {
        Args args = c.args;
        args.insert(args.begin(), "--raw");
        const Outcome o = exchange(args, c.answer);
        const std::string label = ::testing::PrintToString(c.args) + "\n" + o.err;
        EXPECT_EQ(o.status, c.status) << label;
        EXPECT_EQ(o.out, c.out) << label;
        EXPECT_EQ(o.err.find("note: discarded") != std::string::npos, c.discards) << label;
        if (c.status == 2) {
            EXPECT_GE(o.ms, 290) << label;  // whole milliseconds, rounded down
            EXPECT_LT(o.ms, 800) << label;
        }
    }
}

TEST_F(CtlSession, SecondClientFindsTheLineBusyAndLeavesItToTheFirst) {
    auto first = std::async(std::launch::async, [&] {
        return run({"--raw", "--uuid", "u", "stat"});
    });
    std::string request;
    ASSERT_EQ(board_.readLine(request, 5000), SerialLink::Status::Ok);
    const Outcome second = run({"stat"});
    EXPECT_EQ(second.status, 75);
    EXPECT_NE(second.err.find("line busy"), std::string::npos) << second.err;
    EXPECT_LT(second.ms, 500);

    const std::string reply = std::string(R"({"ret_val":0,"uuid":"u"})") + "\n";
    board_.send(reply);
    const Outcome o = first.get();
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, reply);
}

TEST_F(CtlSession, LineThatTakesNothingCannotHoldTheClient) {
    // The board never reads: fill the line towards it until it takes no more, also once
    // the kernel has moved on what it could.
    const std::string block(4096, 'x');
    for (int round = 0; round < 10; ++round) {
        for (int i = 0; i < 100 && ::write(slave_.get(), block.data(), block.size()) > 0; ++i) {
        }
        ASSERT_EQ(errno, EAGAIN);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const Outcome o = run({"--timeout", "0.3", "stat"});
    EXPECT_EQ(o.status, 2) << o.err;
    EXPECT_NE(o.err.find("did not take the request"), std::string::npos) << o.err;
    EXPECT_LT(o.ms, 800);
}

}  // namespace
