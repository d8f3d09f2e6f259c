// SPDX-License-Identifier: Apache-2.0
// Calls on lines whose far end the test plays: console servers on loopback TCP ports (raw
// and telnet) and local devices (ptys). Every outcome a call can have, all at once in one
// loop: a line in trouble holds up none of the others.
#include "quillferry/line.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include "ctl/exit_status.h"
#include "fake_console.h"
#include "line_calls.h"
#include "raw_pty.h"

namespace {

using qfclient::Outcome;
using Script = FakeConsole::Script;

constexpr const char* kReply = "{\"ret_val\":0,\"uuid\":\"u\"}\n";
constexpr int kTimeoutMs = 1000;

TEST(ClientLine, EveryOutcomeOfACallAtOnceInOneLoop) {
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

    struct Case {
        const char* what;
        std::string address;  // with a script: the scheme of the console server playing it
        Script script;
        Outcome outcome;
        int status;
        const char* detail;
        std::string heard;  // the first piece discarded, escaped
    } const cases[] = {
        {"answers", "tcp", FakeConsole::answering("", kReply), Outcome::Ok, 0, "", ""},
        {"says it is in use", "tcp",
         [](int fd) { FakeConsole::write(fd, "Port already in use\r\n"); }, Outcome::Busy, 75,
         "line busy", "Port already in use\\r\\n"},
        {"closes mid-command", "tcp", [](int fd) { FakeConsole::readLine(fd); }, Outcome::Dropped,
         2, "closed the connection before the reply came", ""},
        {"answers only another uuid", "tcp",
         FakeConsole::answering(
             std::string("\xff\x00{\"uuid\":\n", 11) + "{\"ret_val\":0,\"uuid\":\"x\"}\n", ""),
         Outcome::Timeout, 2, "no reply from tcp:", "\\xff\\x00{\"uuid\":\\n"},
        {"never stops sending", "tcp",
         [](int fd) {
             const std::string z(4096, 'z');
             while (::send(fd, z.data(), z.size(), MSG_NOSIGNAL) > 0)
                 std::this_thread::sleep_for(std::chrono::milliseconds(1));
         },
         Outcome::Timeout, 2, "no reply from tcp:", std::string(256, 'z') + "..."},
        // The reply's 0xFF comes doubled on the wire and single to the caller; a zero byte
        // and a carriage return pass as they are.
        {"telnet answers", "telnet",
         FakeConsole::answering(telnetAgreeing(115200),
                                std::string("\xff\xff\r\x00\n", 5) + kReply),
         Outcome::Ok, 0, "", "\\xff\\r\\x00\\n"},
        {"telnet sets another baud rate", "telnet",
         FakeConsole::answering(telnetAgreeing(9600), ""), Outcome::Unavailable, 69,
         "did not set baud rate 115200 (it answered 9600)", ""},
        // libtelnet reports no refusal of an option asked for: the deadline tells.
        {"telnet without com port control", "telnet",
         FakeConsole::answering(telnetBytes({255, 251, 0, 255, 253, 0, 255, 254, 44}), ""),
         Outcome::Unavailable, 69, "did not confirm com port control (RFC 2217) within", ""},
        {"telnet without binary mode", "telnet",
         FakeConsole::answering(telnetAgreeing(115200, false), ""), Outcome::Unavailable, 69,
         "did not confirm binary mode within", ""},
        {"refuses the connection", "tcp:127.0.0.1:" + std::to_string(refused), nullptr,
         Outcome::Unavailable, 69, "cannot connect", ""},
        {"no such device", "/nonexistent/tty", nullptr, Outcome::Unavailable, 69, "cannot open",
         ""},
        {"not a serial device", "/dev/null", nullptr, Outcome::Unavailable, 69,
         "not a serial device", ""},
        {"device locked by another client", locked.slavePath, nullptr, Outcome::Busy, 75,
         "line busy", ""},
        {"device that takes nothing", full.slavePath, nullptr, Outcome::Timeout, 2,
         "did not take the request", ""},
    };
    std::vector<std::unique_ptr<FakeConsole>> consoles;
    std::vector<LineCall> calls;
    for (const Case& c : cases) {
        const std::string address =
            c.script ? consoles.emplace_back(std::make_unique<FakeConsole>(c.script))
                           ->address(c.address.c_str())
                     : c.address;
        calls.push_back({address, qfclient::requestCall(qfclient::statRequest("u"))});
    }
    const std::vector<qfclient::Result> results = callAll(calls, kTimeoutMs);
    for (std::size_t i = 0; i < results.size(); ++i) {
        const Case& c = cases[i];
        const qfclient::Result& r = results[i];
        EXPECT_EQ(r.outcome, c.outcome) << c.what << ": " << r.detail;
        EXPECT_EQ(ctl::exitStatus(r.outcome), c.status) << c.what;
        EXPECT_NE(r.detail.find(c.detail), std::string::npos) << c.what << ": " << r.detail;
        EXPECT_EQ(r.discarded.empty() ? "" : r.discarded[0], c.heard) << c.what;
        // Only what waits for the deadline takes it, and no longer.
        const bool waits = std::string(c.detail).find("within") != std::string::npos ||
                           c.outcome == Outcome::Timeout;
        EXPECT_GE(r.elapsedMs, waits ? kTimeoutMs : 0) << c.what;
        EXPECT_LT(r.elapsedMs, waits ? kTimeoutMs + 500 : 500) << c.what;
    }
    consoles.clear();  // the console servers' scripts end with their clients
}

}  // namespace
