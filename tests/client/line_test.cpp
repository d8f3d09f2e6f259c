// Lines against console servers that the test plays on loopback TCP ports: every outcome a
// call can have, raw and with telnet.
#include "client/line.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "fake_console.h"

namespace {

using qfclient::Outcome;
using Script = FakeConsole::Script;

const std::string kReply = R"({"ret_val":0,"uuid":"u"})"
                           "\n";

// Telnet bytes a console server sends.
std::string iac(std::initializer_list<int> bytes) {
    std::string s;
    for (const int b : bytes) s += static_cast<char>(b);
    return s;
}
// Agrees to binary both ways and to com port control, and answers each serial setting with
// the value given (the baud rate as four bytes).
std::string telnetServer(unsigned baud) {
    return iac({255, 251, 0, 255, 253, 0, 255, 253, 44}) +
           iac({255, 250, 44, 101, int(baud >> 24), int((baud >> 16) & 255), int((baud >> 8) & 255),
                int(baud & 255), 255, 240}) +
           iac({255, 250, 44,  102, 8,   255, 240, 255, 250, 44, 103,
                1,   255, 240, 255, 250, 44,  104, 1,   255, 240});
}

qfclient::Result callOn(const std::string& address, int timeoutMs = 1000) {
    qfclient::LineAddress a;
    std::string error;
    EXPECT_TRUE(qfclient::parseAddress(address, a, error)) << error;
    qfclient::Line line(a);
    return line.call(qfclient::requestCall(qfclient::statRequest("u")), timeoutMs);
}

TEST(ClientLine, EachOutcomeOfACallOnAConsoleServer) {
    struct Case {
        const char* what;
        const char* scheme;
        Script script;
        Outcome outcome;
        const char* detail;
    } const cases[] = {
        {"answers", "tcp",
         [](int fd) {
             if (FakeConsole::readLine(fd) == R"({"cmd":"get_stat","uuid":"u"})"
                                              "\n")
                 FakeConsole::write(fd, kReply);
             FakeConsole::awaitClose(fd);
         },
         Outcome::Ok, ""},
        {"says it is in use", "tcp",
         [](int fd) { FakeConsole::write(fd, "Port already in use\r\n"); }, Outcome::Busy,
         "line busy"},
        {"closes mid-command", "tcp", [](int fd) { FakeConsole::readLine(fd); }, Outcome::Dropped,
         "closed the connection before the reply came"},
        {"stays silent", "tcp", [](int fd) { FakeConsole::awaitClose(fd); }, Outcome::Timeout,
         "no reply from tcp:"},
        {"answers garbage to a known uuid", "tcp",
         [](int fd) {
             FakeConsole::readLine(fd);
             FakeConsole::write(fd, R"({"ret_val":"x","uuid":"u"})"
                                    "\n");
             FakeConsole::awaitClose(fd);
         },
         Outcome::Malformed, "not an integer"},
        // Telnet: the reply's 0xFF comes doubled on the wire and single to the caller.
        {"telnet answers", "telnet",
         [](int fd) {
             FakeConsole::write(fd, telnetServer(115200));
             std::string line;
             while (line.find('\n') == std::string::npos) {
                 const std::string more = FakeConsole::readLine(fd, 2000);
                 if (more.empty()) return;
                 line += more;
             }
             if (line.find(R"({"cmd":"get_stat","uuid":"u"})") != std::string::npos)
                 FakeConsole::write(fd, std::string("\xff\xff\x00\n", 4) + kReply);
             FakeConsole::awaitClose(fd);
         },
         Outcome::Ok, ""},
        {"telnet sets another baud rate", "telnet",
         [](int fd) {
             FakeConsole::write(fd, telnetServer(9600));
             FakeConsole::awaitClose(fd);
         },
         Outcome::Unavailable, "did not set baud rate 115200 (it answered 9600)"},
        // libtelnet reports no refusal of an option asked for: the deadline tells.
        {"telnet without com port control", "telnet",
         [](int fd) {
             FakeConsole::write(fd, iac({255, 251, 0, 255, 253, 0, 255, 254, 44}));
             FakeConsole::awaitClose(fd);
         },
         Outcome::Unavailable, "did not confirm com port control (RFC 2217) within"},
    };
    for (const Case& c : cases) {
        FakeConsole console(c.script);
        const qfclient::Result r = callOn(console.address(c.scheme));
        EXPECT_EQ(r.outcome, c.outcome) << c.what << ": " << r.detail;
        EXPECT_NE(r.detail.find(c.detail), std::string::npos) << c.what << ": " << r.detail;
        if (c.outcome != Outcome::Ok) continue;
        EXPECT_EQ(r.root["uuid"], "u") << c.what;
        if (std::string(c.scheme) == "telnet") {
            ASSERT_EQ(r.discarded.size(), 1u) << c.what;
            EXPECT_EQ(r.discarded[0], "\\xff\\x00\\n");
        }
    }
}

TEST(ClientLine, LinesThatCannotBeOpenedAreUnavailable) {
    // A loopback port that nobody listens on: taken and given back at once.
    int port = 0;
    {
        FakeConsole gone([](int) {});
        port = std::stoi(gone.address().substr(14));
        const qfclient::Result first = callOn(gone.address());  // served, then closed
        EXPECT_EQ(first.outcome, Outcome::Dropped) << first.detail;
    }
    for (const std::string& address : {"tcp:127.0.0.1:" + std::to_string(port),
                                       std::string("/nonexistent/tty"), std::string("/dev/null")}) {
        const qfclient::Result r = callOn(address);
        EXPECT_EQ(r.outcome, Outcome::Unavailable) << address << ": " << r.detail;
        EXPECT_EQ(qfclient::exitStatus(r.outcome), 69);
        EXPECT_LT(r.elapsedMs, 500) << address;
    }
}

}  // namespace
