// SPDX-License-Identifier: Apache-2.0
#include "client/address.h"

#include <gtest/gtest.h>

#include "client/reply.h"

namespace {

using Kind = qfclient::LineAddress::Kind;

TEST(ClientAddress, DevicesAndConsoleServerPorts) {
    struct Case {
        const char* text;
        Kind kind;
        const char* hostOrPath;
        const char* port;
    } const good[] = {
        {"/dev/ttyUSB0", Kind::Device, "/dev/ttyUSB0", ""},
        {"./tcp:x", Kind::Device, "./tcp:x", ""},
        {"tcp:console1.example:3001", Kind::Tcp, "console1.example", "3001"},
        {"telnet:127.0.0.1:2000", Kind::Telnet, "127.0.0.1", "2000"},
        {"tcp:[fd00::1]:3001", Kind::Tcp, "fd00::1", "3001"},
    };
    for (const Case& c : good) {
        qfclient::LineAddress a;
        std::string error;
        ASSERT_TRUE(qfclient::parseAddress(c.text, a, error)) << c.text << ": " << error;
        EXPECT_EQ(a.kind, c.kind) << c.text;
        EXPECT_EQ(c.kind == Kind::Device ? a.path : a.host, c.hostOrPath) << c.text;
        EXPECT_EQ(a.port, c.port) << c.text;
    }
    // A device path and an IPv6 host are judged whole, not up to a zero byte.
    const std::string bad[] = {"",
                               std::string("/dev/ttyUSB0\0x", 14),
                               "tcp:host",
                               "tcp:host:0",
                               "tcp:host:65536",
                               "tcp::3001",
                               "tcp:fd00::1:3001",
                               "tcp:[fd00::1\\x]:3001",
                               std::string("tcp:[fd00::1\0]:3001", 19),
                               "telnet:a,b:3001",
                               "telnet:-a:3001"};
    for (const std::string& text : bad) {
        qfclient::LineAddress a;
        std::string error;
        EXPECT_FALSE(qfclient::parseAddress(text, a, error)) << qfclient::escapeBytes(text);
        EXPECT_FALSE(error.empty()) << qfclient::escapeBytes(text);
    }
}

}  // namespace
