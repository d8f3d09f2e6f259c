// SPDX-License-Identifier: Apache-2.0
#include "quillferry/address.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "expect_text.h"
#include "quillferry/reply.h"
#include "scratch_dir.h"

namespace {

using Kind = qfclient::LineAddress::Kind;
using namespace std::string_literals;

TEST(ClientAddress, DevicesAndConsoleServerPorts) {
    struct Case {
        const char* text;
        Kind kind;
        const char* hostOrPath;
        const char* port;
        const char* user;
    } const good[] = {
        {"/dev/ttyUSB0", Kind::Device, "/dev/ttyUSB0", "", ""},
        {"./tcp:x", Kind::Device, "./tcp:x", "", ""},
        {"./ssh:x", Kind::Device, "./ssh:x", "", ""},
        {"tcp:console1.example:3001", Kind::Tcp, "console1.example", "3001", ""},
        {"telnet:127.0.0.1:2000", Kind::Telnet, "127.0.0.1", "2000", ""},
        {"tcp:[fd00::1]:3001", Kind::Tcp, "fd00::1", "3001", ""},
        {"tls:console1:3001", Kind::Tls, "console1", "3001", ""},
        {"telnets:[fd00::1]:3001", Kind::Telnets, "fd00::1", "3001", ""},
        // The user is everything before the last '@': a port selector travels in it.
        {"ssh:console1", Kind::Ssh, "console1", "22", ""},
        {"ssh:admin:port05@console1", Kind::Ssh, "console1", "22", "admin:port05"},
        {"ssh:admin+port05@console1:2222", Kind::Ssh, "console1", "2222", "admin+port05"},
        {"ssh:admin:ttyS5@[fd00::1]:2222", Kind::Ssh, "fd00::1", "2222", "admin:ttyS5"},
        {"ssh:a@b@[fd00::1]", Kind::Ssh, "fd00::1", "22", "a@b"},
        {"ssh:console1:2222", Kind::Ssh, "console1", "2222", ""},
    };
    for (const Case& c : good) {
        qfclient::LineAddress a;
        std::string error;
        ASSERT_TRUE(qfclient::parseAddress(c.text, a, error)) << c.text << ": " << error;
        EXPECT_EQ(a.kind, c.kind) << c.text;
        EXPECT_EQ(c.kind == Kind::Device ? a.path : a.host, c.hostOrPath) << c.text;
        EXPECT_EQ(a.port, c.port) << c.text;
        EXPECT_EQ(a.user, c.user) << c.text;
    }
    // A device path, an IPv6 host and a user are judged whole, not up to a zero byte.
    const std::vector<std::string> bad[] = {
        {"", "/dev/ttyUSB0\0x"s, "tcp:host", "tcp:host:0", "tcp:host:65536", "tcp::3001"},
        {"tcp:fd00::1:3001", "tcp:[fd00::1\\x]:3001", "tcp:[fd00::1\0]:3001"s, "tcp:[fd00::1]3001"},
        {"tcp:[fd00::1", "telnet:a,b:3001", "telnet:-a:3001", "tls:console1", "telnets:console1:0"},
        {"ssh:", "ssh:@console1", "ssh:ad min@console1", "ssh:ad\0min@console1"s, "ssh:admin@"},
        {"ssh:admin\x1b@console1", "ssh:" + std::string(257, 'a') + "@console1"},
        {"ssh:admin@console1:", "ssh:admin@fd00::1"}};
    for (const std::vector<std::string>& group : bad) {
        for (const std::string& text : group) {
            qfclient::LineAddress a;
            std::string error;
            EXPECT_FALSE(qfclient::parseAddress(text, a, error)) << qfclient::escapeBytes(text);
            EXPECT_FALSE(error.empty()) << qfclient::escapeBytes(text);
        }
    }
}

using ClientLineFiles = ScratchDir;

// The files that secure a line are judged before anything is sent: they must suit the
// line's kind, a certificate comes with its key, and each is a regular file that can be
// read now (a FIFO would hold the line up, a folder is no file).
TEST_F(ClientLineFiles, SuitTheLineAndAreRegularFiles) {
    const std::string file = put("key", "k");
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    // Past any key, certificate bundle or known hosts file: refused unread.
    ASSERT_EQ(::truncate(put("huge", "").c_str(), 17L * 1024 * 1024), 0);
    struct Case {
        const char* address;
        std::string identity, knownHosts, ca, cert, key;
        const char* problem;  // empty: none
    } const cases[] = {
        {"ssh:h", file, file, "", "", "", ""},
        {"tls:h:1", "", "", file, file, file, ""},
        {"telnets:h:1", "", "", "", file, file, ""},
        {"tcp:h:1", "", "", "", "", "", ""},
        {"tls:h:1", file, "", "", "", "", "an identity is for ssh: lines only"},
        {"/dev/ttyUSB0", "", file, "", "", "", "a known hosts file is for ssh: lines only"},
        {"ssh:h", "", "", file, "", "", "a CA file is for tls: and telnets: lines only"},
        {"telnet:h:1", "", "", "", file, file, "a client certificate is for tls:"},
        {"tls:h:1", "", "", "", file, "", "a client certificate needs its key"},
        {"tls:h:1", "", "", "", "", file, "a client certificate needs its key"},
        {"ssh:h", path("missing"), "", "", "", "", "an identity: cannot read"},
        {"ssh:h", "", path("fifo"), "", "", "", "not a regular file"},
        {"tls:h:1", "", "", dir_, "", "", "a CA file: cannot read"},
        {"ssh:h", std::string("/tmp\0/x", 7), "", "", "", "", "holds a zero byte"},
        {"ssh:h", "", path("huge"), "", "", "", "is larger than 16777216 bytes"},
    };
    for (const Case& c : cases) {
        qfclient::LineAddress a;
        std::string error;
        ASSERT_TRUE(qfclient::parseAddress(c.address, a, error)) << error;
        a.identity = c.identity;
        a.knownHosts = c.knownHosts;
        a.ca = c.ca;
        a.cert = c.cert;
        a.key = c.key;
        const std::string problem = qfclient::lineFilesProblem(a);
        EXPECT_EQ(problem.empty(), std::string(c.problem).empty()) << c.address << ": " << problem;
        EXPECT_HAS(problem, c.problem) << c.address;
    }
}

}  // namespace
