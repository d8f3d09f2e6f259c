// SPDX-License-Identifier: Apache-2.0
// Console servers and boards that attack the client, played on loopback ports, all at once
// in one loop beside one that answers: each attack fails its own line and no other, and
// the client lives on to hand over every result.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

#include "core/constants.h"
#include "fake_console.h"
#include "line_calls.h"
#include "quillferry/line.h"

namespace {

using qfclient::Outcome;
using Script = FakeConsole::Script;

constexpr int kTimeoutMs = 2000;
constexpr char kIac = '\xff';

// What the client sent on a telnet line, its telnet commands left out (enough for these
// tests: every command they meet is three bytes or a subnegotiation).
std::string telnetData(const std::string& wire) {
    std::string data;
    for (std::size_t i = 0; i < wire.size(); ++i) {
        if (wire[i] != kIac) {
            data += wire[i];
        } else if (i + 1 < wire.size() && static_cast<unsigned char>(wire[i + 1]) == 250) {
            i = std::min(wire.find(telnetBytes({255, 240}), i), wire.size());
            ++i;
        } else {
            i += 2;
        }
    }
    return data;
}

TEST(ClientHostileConsole, EachAttackFailsOnlyItsOwnLine) {
    std::mutex mutex;
    std::string heardByMute;  // what the console server that agrees to nothing was sent
    const std::string ack(qf::kProbeAck, qf::kProbeAckSize);
    const std::string deep = R"({"ret_val":0,"uuid":"u","x":)" + std::string(2048, '[') + "\n";
    struct Case {
        const char* what;
        const char* scheme;
        bool probe;
        Outcome outcome;
        Script script;
        const char* detail;
        std::string heard;  // the first piece discarded, when there is one to check
    } const cases[] = {
        {"answers", "tcp", false, Outcome::Ok,
         FakeConsole::answering("", "{\"ret_val\":0,\"uuid\":\"u\"}\n"), "", ""},
        // Nine bytes: binary agreed, then withdrawn (the line closes inside that event), then
        // com port control asked for in the same read, which is no longer the line's.
        {"withdraws binary mode, then asks for com port control", "telnet", false,
         Outcome::Unavailable,
         [](int fd) {
             FakeConsole::write(fd, telnetBytes({255, 253, 0, 255, 254, 0, 255, 253, 44}));
             FakeConsole::awaitClose(fd);
         },
         "refuses binary mode", ""},
        // The caller closes the line with the result, as a fleet does; the rest of the
        // segment comes after.
        {"answers, then withdraws and offers com port control in one segment", "telnet", false,
         Outcome::Ok,
         FakeConsole::answering(telnetAgreeing(), "{\"ret_val\":0,\"uuid\":\"u\"}\n" +
                                                      telnetBytes({255, 252, 44, 255, 251, 44, 255,
                                                                   254, 44, 255, 253, 44})),
         "", ""},
        // Each offer of an option the client does not speak is answered: a server that
        // offers without end and reads nothing would grow the client without a bound.
        {"offers options without end and reads nothing", "telnet", false, Outcome::Unavailable,
         [](int fd) {
             const int small = 4096;
             ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
             std::string offers;
             for (int i = 0; i < 20000; ++i) offers += telnetBytes({255, 251, 200});
             const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
             while (std::chrono::steady_clock::now() < end &&
                    ::send(fd, offers.data(), offers.size(), MSG_NOSIGNAL) > 0) {
             }
         },
         "does not take what is sent", ""},
        {"confirms the baud rate four times", "telnet", false, Outcome::Unavailable,
         FakeConsole::answering(telnetBytes({255, 251, 0, 255, 253, 0, 255, 253, 44}) +
                                    telnetBytes({255, 250, 44, 101, 0, 1, 194, 0, 255, 240}) +
                                    telnetBytes({255, 250, 44, 101, 0, 1, 194, 0, 255, 240}) +
                                    telnetBytes({255, 250, 44, 101, 0, 1, 194, 0, 255, 240}) +
                                    telnetBytes({255, 250, 44, 101, 0, 1, 194, 0, 255, 240}),
                                ""),
         "confirmed baud rate 115200 twice", ""},
        // The acknowledgement before the port is set up answers no probe: none was sent.
        {"agrees to nothing but sends the acknowledgement", "telnet", true, Outcome::Unavailable,
         [&](int fd) {
             FakeConsole::write(fd, ack);
             std::string all;
             char buf[256];
             pollfd p = {fd, POLLIN, 0};
             for (ssize_t n = 1; n > 0 && ::poll(&p, 1, 5000) == 1;) {
                 n = ::read(fd, buf, sizeof(buf));
                 if (n > 0) all.append(buf, static_cast<std::size_t>(n));
             }
             const std::lock_guard<std::mutex> lock(mutex);
             heardByMute = telnetData(all);
         },
         "did not confirm com port control", "Quillferry_Ok!!!\\n\\x00"},
        // What the board sent before the port was set up is not the reply to a request
        // sent after.
        {"passes a reply on before the port is set up", "telnet", false, Outcome::Failed,
         FakeConsole::answering("{\"ret_val\":0,\"uuid\":\"u\"}\n" + telnetAgreeing(),
                                "{\"ret_val\":7,\"uuid\":\"u\"}\n"),
         "ret_val 7", "{\"ret_val\":0,\"uuid\":\"u\"}\\n"},
        // Past the reader's own depth it would throw; it is the board's malformed reply.
        {"answers too deep to read", "tcp", false, Outcome::Malformed,
         FakeConsole::answering("", deep), "reply is nested deeper than 64 levels", ""},
    };
    std::vector<std::unique_ptr<FakeConsole>> consoles;
    std::vector<LineCall> calls;
    for (const Case& c : cases) {
        consoles.push_back(std::make_unique<FakeConsole>(c.script));
        calls.push_back(
            {consoles.back()->address(c.scheme),
             c.probe ? qfclient::probeCall() : qfclient::requestCall(qfclient::statRequest("u"))});
    }
    const std::vector<qfclient::Result> results = callAll(calls, kTimeoutMs);
    for (std::size_t i = 0; i < results.size(); ++i) {
        const Case& c = cases[i];
        const qfclient::Result& r = results[i];
        EXPECT_EQ(r.outcome, c.outcome) << c.what << ": " << r.detail;
        EXPECT_NE(r.detail.find(c.detail), std::string::npos) << c.what << ": " << r.detail;
        if (!c.heard.empty()) {
            ASSERT_FALSE(r.discarded.empty()) << c.what;
            EXPECT_EQ(r.discarded[0], c.heard) << c.what;
        }
        // Only the server that agrees to nothing keeps its line to the deadline.
        EXPECT_LT(r.elapsedMs, c.probe ? kTimeoutMs + 500 : kTimeoutMs) << c.what;
    }
    consoles.clear();  // the console servers' scripts end with their clients
    EXPECT_EQ(heardByMute, "");
}

// A result is handed over from the loop, never from within start(): a caller that starts
// the next call from its callback, as often as it likes, never nests one in another (a
// line that cannot be opened used to call back at once, and thousands of them overflowed
// the stack).
TEST(ClientLine, CallbacksComeFromTheLoopNeverFromStart) {
    qfclient::LineAddress address;
    std::string error;
    ASSERT_TRUE(qfclient::parseAddress("/nonexistent/tty", address, error));
    qfclient::Loop loop;
    qfclient::Line line(loop, address);
    const qfclient::Call call = qfclient::probeCall();
    constexpr int kCalls = 100000;
    int calls = 0;
    int depth = 0;
    int deepest = 0;
    std::function<void(const qfclient::Result&)> next = [&](const qfclient::Result& r) {
        EXPECT_EQ(r.outcome, Outcome::Unavailable);
        deepest = std::max(deepest, ++depth);
        if (++calls < kCalls) line.start(call, kTimeoutMs, next);
        --depth;
    };
    line.start(call, kTimeoutMs, next);
    EXPECT_EQ(calls, 0);
    loop.runUntil([&] { return calls == kCalls; });
    EXPECT_EQ(calls, kCalls);
    EXPECT_EQ(deepest, 1);
}

}  // namespace
