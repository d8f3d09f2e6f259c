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
#include <mutex>
#include <optional>
#include <thread>

#include "ctl/exit_status.h"
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
        } else if (i + 1 < wire.size() && static_cast<unsigned char>(wire[i + 1]) == 250) {
            i = std::min(wire.find(telnetBytes({255, 240}), i), wire.size()) + 1;
        } else {
            i += 2;
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
    std::mutex mutex;
    std::string heardByMute;  // what the console server that agrees to nothing was sent
    const std::string deep = R"({"ret_val":0,"uuid":"u","x":)" + std::string(2048, '[') + "\n";
    const auto sends = [](const std::string& bytes) {
        return [bytes](int fd) {
            FakeConsole::write(fd, bytes);
            FakeConsole::awaitClose(fd);
        };
    };
    const auto baudConfirmed = telnetBytes({255, 250, 44, 101, 0, 1, 194, 0, 255, 240});

    struct Case {
        const char* what;
        std::string address;  // with a script: the scheme of the console server playing it
        Script script;
        Outcome outcome;
        bool probe;  // the call: the probe, else a status query
        bool waits;  // to its deadline
        const char* detail;
        std::optional<std::string> heard;  // the first piece discarded, escaped; unset: any
    } const cases[] = {
        {"answers", "tcp", FakeConsole::answering("", kReply), Outcome::Ok, false, false, "", ""},
        {"says it is in use", "tcp",
         [](int fd) { FakeConsole::write(fd, "Port already in use\r\n"); }, Outcome::Busy, false,
         false, "line busy", "Port already in use\\r\\n"},
        {"closes mid-command", "tcp", [](int fd) { FakeConsole::readLine(fd); }, Outcome::Dropped,
         false, false, "closed the connection before the reply came", ""},
        {"answers only another uuid", "tcp",
         FakeConsole::answering(
             std::string("\xff\x00{\"uuid\":\n", 11) + "{\"ret_val\":0,\"uuid\":\"x\"}\n", ""),
         Outcome::Timeout, false, true, "no reply from tcp:", "\\xff\\x00{\"uuid\":\\n"},
        {"never stops sending", "tcp",
         [](int fd) {
             const std::string z(4096, 'z');
             while (::send(fd, z.data(), z.size(), MSG_NOSIGNAL) > 0)
                 std::this_thread::sleep_for(std::chrono::milliseconds(1));
         },
         Outcome::Timeout, false, true, "no reply from tcp:", std::string(256, 'z') + "..."},
        // Past the reader's own depth it would throw; it is the board's malformed reply.
        {"answers too deep to read", "tcp", FakeConsole::answering("", deep), Outcome::Malformed,
         false, false, "reply is nested deeper than 64 levels", {}},
        // The reply's 0xFF comes doubled on the wire and single to the caller; a zero byte
        // and a carriage return pass as they are.
        {"telnet answers", "telnet",
         FakeConsole::answering(telnetAgreeing(115200),
                                std::string("\xff\xff\r\x00\n", 5) + kReply),
         Outcome::Ok, false, false, "", "\\xff\\r\\x00\\n"},
        {"telnet sets another baud rate", "telnet",
         FakeConsole::answering(telnetAgreeing(9600), ""), Outcome::Unavailable, false, false,
         "did not set baud rate 115200 (it answered 9600)", ""},
        {"telnet confirms the baud rate four times", "telnet",
         FakeConsole::answering(telnetBytes({255, 251, 0, 255, 253, 0, 255, 253, 44}) +
                                    baudConfirmed + baudConfirmed + baudConfirmed + baudConfirmed,
                                ""),
         Outcome::Unavailable, false, false, "confirmed baud rate 115200 twice", {}},
        // libtelnet reports no refusal of an option asked for: the deadline tells.
        {"telnet without com port control", "telnet",
         FakeConsole::answering(telnetBytes({255, 251, 0, 255, 253, 0, 255, 254, 44}), ""),
         Outcome::Unavailable, false, true, "did not confirm com port control (RFC 2217) within",
         ""},
        {"telnet without binary mode", "telnet",
         FakeConsole::answering(telnetAgreeing(115200, false), ""), Outcome::Unavailable, false,
         true, "did not confirm binary mode within", ""},
        // Nine bytes: binary agreed, then withdrawn (the line closes inside that event), then
        // com port control asked for in the same read, which is no longer the line's.
        {"telnet withdraws binary mode, then asks for com port control", "telnet",
         sends(telnetBytes({255, 253, 0, 255, 254, 0, 255, 253, 44})), Outcome::Unavailable,
         false, false, "refuses binary mode", {}},
        // The caller closes the line with the result, as a fleet does; the rest of the
        // segment comes after.
        {"telnet answers, then withdraws and offers com port control in one segment", "telnet",
         FakeConsole::answering(telnetAgreeing(),
                                kReply + telnetBytes({255, 252, 44, 255, 251, 44, 255, 254, 44,
                                                      255, 253, 44})),
         Outcome::Ok, false, false, "", {}},
        // Each offer of an option the client does not speak is answered: a server that
        // offers without end and reads nothing would grow the client without a bound.
        {"telnet offers options without end and reads nothing", "telnet",
         [](int fd) {
             const int small = 4096;
             ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
             std::string offers;
             for (int i = 0; i < 20000; ++i) offers += telnetBytes({255, 251, 200});
             FakeConsole::forSeconds(
                 [&] { return ::send(fd, offers.data(), offers.size(), MSG_NOSIGNAL) > 0; });
         },
         Outcome::Unavailable, false, false, "does not take what is sent", {}},
        // The acknowledgement before the port is set up answers no probe: none was sent.
        {"telnet agrees to nothing but sends the acknowledgement", "telnet",
         [&](int fd) {
             FakeConsole::write(fd, std::string(golden::kAck));
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
         Outcome::Unavailable, true, true, "did not confirm com port control",
         "Quillferry_Ok!!!\\n\\x00"},
        // What the board sent before the port was set up is not the reply to a request
        // sent after.
        {"telnet passes a reply on before the port is set up", "telnet",
         FakeConsole::answering(kReply + telnetAgreeing(), "{\"ret_val\":7,\"uuid\":\"u\"}\n"),
         Outcome::Failed, false, false, "ret_val 7", "{\"ret_val\":0,\"uuid\":\"u\"}\\n"},
        {"refuses the connection", "tcp:127.0.0.1:" + std::to_string(refused), nullptr,
         Outcome::Unavailable, false, false, "cannot connect", ""},
        {"no such device", "/nonexistent/tty", nullptr, Outcome::Unavailable, false, false,
         "cannot open", ""},
        {"not a serial device", "/dev/null", nullptr, Outcome::Unavailable, false, false,
         "not a serial device", ""},
        {"device locked by another client", locked.slavePath, nullptr, Outcome::Busy, false, false,
         "line busy", ""},
        {"device that takes nothing", full.slavePath, nullptr, Outcome::Timeout, false, true,
         "did not take the request", ""},
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
    const std::vector<qfclient::Result> results =
        expectEachAttackFailsOnlyItsLine(calls, cases, kTimeoutMs);
    for (std::size_t i = 0; i < results.size(); ++i) {
        const std::string heard = results[i].discarded.empty() ? "" : results[i].discarded[0];
        EXPECT_EQ(heard, cases[i].heard.value_or(heard)) << cases[i].what;
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
