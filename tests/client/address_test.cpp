#include "client/address.h"

#include <gtest/gtest.h>

namespace {

using Kind = qfclient::LineAddress::Kind;

TEST(ClientAddress, DevicesAndConsoleServerPorts) {
    struct Case {
        const char* text;
        bool ok;
        Kind kind;
        const char* hostOrPath;
        const char* port;
    } const cases[] = {
        {"/dev/ttyUSB0", true, Kind::Device, "/dev/ttyUSB0", ""},
        {"./tcp:x", true, Kind::Device, "./tcp:x", ""},
        {"tcp:console1.example:3001", true, Kind::Tcp, "console1.example", "3001"},
        {"telnet:127.0.0.1:2000", true, Kind::Telnet, "127.0.0.1", "2000"},
        {"tcp:[fd00::1]:3001", true, Kind::Tcp, "fd00::1", "3001"},
        {"", false, Kind::Device, "", ""},
        {"tcp:host", false, Kind::Tcp, "", ""},
        {"tcp:host:0", false, Kind::Tcp, "", ""},
        {"tcp:host:65536", false, Kind::Tcp, "", ""},
        {"tcp::3001", false, Kind::Tcp, "", ""},
        {"tcp:fd00::1:3001", false, Kind::Tcp, "", ""},
        {"tcp:[fd00::1\\x]:3001", false, Kind::Tcp, "", ""},
        {"telnet:a,b:3001", false, Kind::Telnet, "", ""},
        {"telnet:-a:3001", false, Kind::Telnet, "", ""},
    };
    for (const Case& c : cases) {
        qfclient::LineAddress a;
        std::string error;
        EXPECT_EQ(qfclient::parseAddress(c.text, a, error), c.ok) << c.text;
        EXPECT_EQ(error.empty(), c.ok) << c.text;
        if (!c.ok) continue;
        EXPECT_EQ(a.kind, c.kind) << c.text;
        EXPECT_EQ(c.kind == Kind::Device ? a.path : a.host, c.hostOrPath) << c.text;
        EXPECT_EQ(a.port, c.port) << c.text;
    }
}

}  // namespace
