// SPDX-License-Identifier: Apache-2.0
// Calls on lines whose far end the test plays: console servers on loopback TCP ports (raw
// and telnet), some of them attacking the client, and local devices (ptys). Every outcome a
// call can have, all at once in one loop: each line in trouble fails only itself, holds up
// none of the others, and the client lives on to hand over every result.
#include "quillferry/line.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "fake_console.h"
#include "golden.h"
#include "line_calls.h"
#include "raw_pty.h"

namespace {

using qfclient::Outcome;
using Script = FakeConsole::Script;

constexpr const char* kReply = "{\"ret_val\":0,\"uuid\":\"u\"}\n";
constexpr int kTimeoutMs = 2000;

// What the client sent on a telnet line, its telnet commands left out (enough for these
// tests: every command they meet is three bytes or a subnegotiation).
std::string telnetData(const std::string& wire) {
    std::string data;
    for (std::size_t i = 0; i < wire.size(); ++i) {
        if (wire[i] != '\xff') {
            data += wire[i];
        } else {
            i = wire[i + 1] != '\xfa' ? i + 2 : std::min(wire.find("\xff\xf0", i), wire.size()) + 1;
        }
    }
    return data;
}

TEST(ClientLine, EveryOutcomeAndEveryAttackAtOnceInOneLoop) {
    // A loopback port that refuses connections: bound, not listening.
    int refused = 0;
    const UniqueFd refusing = loopbackSocket(0, &refused);
    // A device another client has locked, and one that takes nothing more.
    const RawPty locked = openRawPty();
    const UniqueFd holder(::open(locked.slavePath.c_str(), O_RDWR | O_NOCTTY));
    ASSERT_EQ(::flock(holder.get(), LOCK_EX), 0);
    const RawPty full = openRawPty(O_NONBLOCK);
    const std::string block(4096, 'x');
    for (int round = 0; round < 10; ++round) {  // until the kernel moves on no more either
        while (::write(full.slave.get(), block.data(), block.size()) > 0) {
        }
        ASSERT_EQ(errno, EAGAIN);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::string heardByMute = "unset";  // what the telnet server that agrees to nothing heard
    const std::string deep = R"({"ret_val":0,"uuid":"u","x":)" + std::string(2048, '[') + "\n";
    const auto answers = FakeConsole::answering;
    const auto sends = [](const std::string& bytes) {
        return [bytes](int fd) {
            FakeConsole::write(fd, bytes);
            FakeConsole::awaitClose(fd);
        };
    };
    const auto baudConfirmed = telnetBytes({255, 250, 44, 101, 0, 1, 194, 0, 255, 240});
    const std::string binary = telnetBytes({255, 251, 0, 255, 253, 0});
    const std::string zs = std::string(256, 'z') + "...";  // a note is cut short
    struct Case {
        const char* what;
        std::string address;  // with a script: the scheme of the console server playing it
        Script script;
        Outcome outcome;
        const char* detail;
        bool waits = false;      // to its deadline
        const char* heard = "";  // the first piece discarded, escaped; null: any
        bool probe = false;      // the call: the probe, else a status query
    };
    const std::vector<Case> cases = {
        {"answers", "tcp", answers("", kReply), Outcome::Ok, ""},
        {"says it is in use", "tcp",
         [](int fd) { FakeConsole::write(fd, "Port already in use\r\n"); }, Outcome::Busy,
         "line busy", false, "Port already in use\\r\\n"},
        {"closes mid-command", "tcp", [](int fd) { FakeConsole::readLine(fd); }, Outcome::Dropped,
         "closed the connection before the reply came"},
        {"answers only another uuid", "tcp",
         answers(std::string("\xff\x00{\"uuid\":\n", 11) + "{\"ret_val\":0,\"uuid\":\"x\"}\n", ""),
         Outcome::Timeout, "no reply from tcp:", true, "\\xff\\x00{\"uuid\":\\n"},
        {"never stops sending", "tcp",
         [](int fd) { FakeConsole::flood(fd, std::string(4096, 'z')); }, Outcome::Timeout,
         "no reply from tcp:", true, zs.c_str()},
        // Past the reader's own depth it would throw; it is the board's malformed reply.
        {"answers too deep to read", "tcp", answers("", deep), Outcome::Malformed,
         "reply is nested deeper than 64 levels", false, nullptr},
        // The reply's 0xFF comes doubled on the wire and single to the caller; a zero byte
        // and a carriage return pass as they are.
        {"telnet answers", "telnet",
         answers(telnetAgreeing(115200), std::string("\xff\xff\r\x00\n", 5) + kReply), Outcome::Ok,
         "", false, "\\xff\\r\\x00\\n"},
        {"telnet sets another baud rate", "telnet", answers(telnetAgreeing(9600), ""),
         Outcome::Unavailable, "did not set baud rate 115200 (it answered 9600)"},
        {"telnet confirms baud four times", "telnet",
         answers(binary + telnetBytes({255, 253, 44}) + baudConfirmed + baudConfirmed +
                     baudConfirmed + baudConfirmed,
                 ""),
         Outcome::Unavailable, "confirmed baud rate 115200 twice", false, nullptr},
        // libtelnet reports no refusal of an option asked for: the deadline tells.
        {"telnet without com port control", "telnet",
         answers(binary + telnetBytes({255, 254, 44}), ""), Outcome::Unavailable,
         "did not confirm com port control (RFC 2217) within", true},
        {"telnet without binary mode", "telnet", answers(telnetAgreeing(115200, false), ""),
         Outcome::Unavailable, "did not confirm binary mode within", true},
        // Nine bytes: binary agreed, then withdrawn (the line closes inside that event), then
        // com port control asked for in the same read, which is no longer the line's.
        {"telnet withdraws binary mode", "telnet",
         sends(telnetBytes({255, 253, 0, 255, 254, 0, 255, 253, 44})), Outcome::Unavailable,
         "refuses binary mode", false, nullptr},
        // The caller closes the line with the result, as a fleet does; the rest of the
        // segment comes after.
        {"telnet answers, then a segment of offers", "telnet",
         answers(telnetAgreeing(),
                 kReply + telnetBytes({255, 252, 44, 255, 251, 44, 255, 254, 44, 255, 253, 44})),
         Outcome::Ok, "", false, nullptr},
        // Each offer of an option the client does not speak is answered: a server that
        // offers without end and reads nothing would grow the client without a bound.
        {"telnet offers without end", "telnet",
         [](int fd) {
             const int small = 4096;
             ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
             std::string offers;
             for (int i = 0; i < 20000; ++i) offers += telnetBytes({255, 251, 200});
             FakeConsole::flood(fd, offers);
         },
         Outcome::Unavailable, "does not take what is sent", false, nullptr},
        // The acknowledgement before the port is set up answers no probe: none was sent.
        {"telnet agrees to nothing, sends the ack", "telnet",
         [&](int fd) {
             FakeConsole::write(fd, std::string(golden::kAck));
             heardByMute = telnetData(FakeConsole::awaitClose(fd));
         },
         Outcome::Unavailable, "did not confirm com port control", true, "Quillferry_Ok!!!\\n\\x00",
         true},
        // What the board sent before the port was set up is not the reply to a request
        // sent after.
        {"telnet passes a reply on early", "telnet",
         answers(kReply + telnetAgreeing(), "{\"ret_val\":7,\"uuid\":\"u\"}\n"), Outcome::Failed,
         "ret_val 7", false, "{\"ret_val\":0,\"uuid\":\"u\"}\\n"},
        {"refuses the connection", "tcp:127.0.0.1:" + std::to_string(refused), nullptr,
         Outcome::Unavailable, "cannot connect"},
        {"no such device", "/nonexistent/tty", nullptr, Outcome::Unavailable, "cannot open"},
        {"not a serial device", "/dev/null", nullptr, Outcome::Unavailable, "not a serial device"},
        {"device locked by another client", locked.slavePath, nullptr, Outcome::Busy, "line busy"},
        {"device that takes nothing", full.slavePath, nullptr, Outcome::Timeout,
         "did not take the request", true},
    };
    std::vector<std::unique_ptr<FakeConsole>> consoles;
    std::vector<LineCall> calls;
    for (const Case& c : cases) {
        const std::string address =
            c.script ? consoles.emplace_back(std::make_unique<FakeConsole>(c.script))
                           ->address(c.address.c_str())
                     : c.address;
        calls.push_back({address, c.probe ? qfclient::probeCall()
                                          : qfclient::requestCall(qfclient::statRequest("u"))});
    }
    const std::vector<qfclient::Result> results = expectEach(calls, cases, kTimeoutMs);
    for (std::size_t i = 0; i < results.size(); ++i) {
        const std::string heard = results[i].discarded.empty() ? "" : results[i].discarded[0];
        EXPECT_EQ(heard, cases[i].heard ? cases[i].heard : heard) << cases[i].what;
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
    constexpr int kCalls = 100000;
    int calls = 0;
    int depth = 0;
    int deepest = 0;
    std::function<void(const qfclient::Result&)> next = [&](const qfclient::Result& r) {
        EXPECT_EQ(r.outcome, Outcome::Unavailable);
        deepest = std::max(deepest, ++depth);
        if (++calls < kCalls) line.start(qfclient::probeCall(), kTimeoutMs, next);
        --depth;
    };
    line.start(qfclient::probeCall(), kTimeoutMs, next);
    EXPECT_EQ(calls, 0);
    loop.runUntil([&] { return calls == kCalls; });
    EXPECT_EQ(calls, kCalls);
    EXPECT_EQ(deepest, 1);
}

}  // namespace
