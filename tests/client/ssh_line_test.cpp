// SPDX-License-Identifier: Apache-2.0
// Lines over SSH (ssh:) to sshd, whose users are port selectors joined to what the test plays,
// and to SSH servers the test plays, all at once: calls through them, every host key and key
// that must refuse the line before anything is sent, and attacks that fail only their own
// line; then keys from ssh-agent.
#include <gtest/gtest.h>
#include <libssh/libssh.h>
#include <libssh/server.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "fake_board.h"
#include "fake_console.h"
#include "line_calls.h"
#include "quillferry/line.h"
#include "scratch_dir.h"
#include "test_sshd.h"

namespace {

using qfclient::Outcome;
using namespace std::string_literals;
using ClientSsh = ScratchDir;

constexpr int kTimeoutMs = 3000;

// An SSH server played with libssh's server side: after the key exchange with `hostKey` (a
// file) it asks for keepalives without end and reads nothing, each sent once its socket
// takes more.
FakeConsole::Script keepalivesWithoutEnd(const std::string& hostKey) {
    return [hostKey](int fd) {
        const int small = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
        const std::unique_ptr<ssh_bind_struct, decltype(&ssh_bind_free)> bind(ssh_bind_new(),
                                                                              ssh_bind_free);
        const std::unique_ptr<ssh_session_struct, decltype(&ssh_free)> session(ssh_new(), ssh_free);
        pollfd p = {fd, POLLOUT, 0};
        if (ssh_bind_options_set(bind.get(), SSH_BIND_OPTIONS_HOSTKEY, hostKey.c_str()) == SSH_OK &&
            ssh_bind_accept_fd(bind.get(), session.get(), ::dup(fd)) == SSH_OK &&
            ssh_handle_key_exchange(session.get()) == SSH_OK)
            FakeConsole::forSeconds([&] {  // while the client reads no more: wait
                return ::poll(&p, 1, 100) != 1 || ssh_send_keepalive(session.get()) == SSH_OK;
            });
    };
}

TEST_F(ClientSsh, CallsKeysAndAttacksEachOnTheirOwnLineAndAgentKeysServe) {
    QF_REQUIRE(qftest::TestSshd::missing());
    ::unsetenv("SSH_AUTH_SOCK");  // keys from an agent only once the test starts one
    const FakeBoard board;
    const FakeBoard other;
    const std::string heard = dir_ + "/heard";
    // The command that joins a session to a board's line, as a console server's port does.
    const auto joined = [](const FakeBoard& b) { return "socat - FILE:" + b.device() + ",rawer"; };
    const qftest::TestSshd sshd(
        dir_, {{"admin+port01", joined(board)},
               {"admin+port02", joined(other)},
               {"admin+port03", "cat"},
               {"admin+port04", "echo 'Port already in use'; exit 1"},
               {"admin+port05", "echo 'Port already in use' >&2; exit 1"},
               {"admin+port06", "cat >" + heard},
               {"admin+port07", "cat >" + heard,
                "AuthenticationMethods password\nPasswordAuthentication yes"},
               {"admin+port08", "cat /dev/zero"},
               {"admin+port09", "cat /dev/zero >&2"},
               {"admin+port10",
                "head -n 1 >/dev/null; for c in Q u i l l f; do printf $c; sleep 1; done"}});
    qftest::shell("cd " + dir_ + " && for k in stranger other_host; do ssh-keygen -q -t ed25519 " +
                  "-N '' -f $k; done && ssh-keygen -q -t ecdsa -N '' -f ecdsa_host && ssh-keygen " +
                  "-q -t ed25519 -N secret -f locked && cat locked.pub >>authorized_keys");
    const std::string hostName = "[127.0.0.1]:" + std::to_string(sshd.port());
    const auto keyOf = [&](const char* name) {
        const std::string pub = contents(std::string(name) + ".pub");
        return pub.substr(0, pub.find(' ', pub.find(' ') + 1));
    };
    const std::string changed =
        put("changed", "# kept by hand\n" + hostName + " " + keyOf("other_host") + "\n");
    // The played servers make their key exchange with sshd's host key, on any port.
    const std::string anyPort = put("any_port", "[127.0.0.1]:* " + sshd.hostKey() + "\n");
    const qfclient::Call binary{"{\"uuid\":\"b\",\"x\":\"\x00\xff\xff\x00\r\x03\x04\"}\n"s, false,
                                "b", "", 0};
    const std::string banner = "SSH-2.0-OpenSSH_9.2\r\n";
    const std::string unknown = "is unknown: the console server offers ssh-ed25519 SHA256:";
    struct Case {
        const char* what;
        const char* user;            // on sshd
        FakeConsole::Script script;  // or a server the test plays
        Outcome outcome;
        const char* detail;
        bool waits = false;           // to its deadline
        std::string identity = "";    // empty: the key sshd takes
        std::string knownHosts = "";  // empty: sshd's key (or a played server's)
        qfclient::Call call = qfclient::probeCall();
    };
    const std::vector<Case> cases = {
        {"probe", "admin+port01", nullptr, Outcome::Ok, ""},
        {"stat", "admin+port02", nullptr, Outcome::Ok, "", false, "", "",
         qfclient::requestCall(qfclient::statRequest("u"))},
        {"a zero byte, 0xFF, CR, ^C and ^D both ways, untouched", "admin+port03", nullptr,
         Outcome::Ok, "", false, "", "", binary},
        {"the port in use, said on the session", "admin+port04", nullptr, Outcome::Busy,
         "Port already in use"},
        {"the port in use, said on standard error", "admin+port05", nullptr, Outcome::Busy,
         "Port already in use"},
        {"unknown host key", "admin+port06", nullptr, Outcome::Unavailable, unknown.c_str(), false,
         "", put("empty", "")},
        {"changed host key", "admin+port06", nullptr, Outcome::Unavailable,
         "HAS CHANGED: the console server offers ssh-ed25519 SHA256:", false, "", changed},
        {"host known by a key of another type", "admin+port06", nullptr, Outcome::Unavailable,
         "line 1 holds a key of another type", false, "",
         put("other_type", hostName + " " + keyOf("ecdsa_host") + "\n")},
        {"refused key", "admin+port06", nullptr, Outcome::Unavailable,
         "refused every key offered for 'admin+port06'", false, dir_ + "/stranger"},
        {"key locked by a passphrase", "admin+port06", nullptr, Outcome::Unavailable,
         "needs a passphrase was passed over", false, dir_ + "/locked"},
        {"a port that wants a password", "admin+port07", nullptr, Outcome::Unavailable,
         "wants a password, which the client never sends"},
        {"no such port", "admin+port99", nullptr, Outcome::Unavailable, "refused every key"},
        {"sends without end, never a newline", "admin+port08", nullptr, Outcome::Timeout,
         "no reply from", true},
        {"writes its standard error without end", "admin+port09", nullptr, Outcome::Timeout,
         "no reply from", true},
        {"answers a byte a second", "admin+port10", nullptr, Outcome::Timeout, "(received only: Qu",
         true},
        {"accepts and never says a word", "", [](int fd) { FakeConsole::awaitClose(fd); },
         Outcome::Unavailable, "the SSH handshake (version and key exchange) did not finish", true},
        {"says its version a byte at a time", "", [&](int fd) { FakeConsole::trickle(fd, banner); },
         Outcome::Unavailable, "did not finish within", true},
        {"says a version line without end", "",
         [&](int fd) {
             FakeConsole::write(fd, "SSH-2.0-");
             FakeConsole::flood(fd, std::string(4096, 'x'));
         },
         Outcome::Unavailable, "the SSH handshake failed"},
        {"says other lines than its version without end", "",
         [&](int fd) { FakeConsole::flood(fd, "hello\r\n"); }, Outcome::Unavailable,
         "did not finish within", true},
        {"sends garbage after its version", "",
         [&](int fd) {
             FakeConsole::write(fd, banner);
             FakeConsole::flood(fd, FakeConsole::garbage(16384));
         },
         Outcome::Unavailable, "the SSH handshake failed"},
        // The client is held up in its authentication, and only its own line with it.
        {"asks for keepalives without end and reads nothing", "",
         keepalivesWithoutEnd(dir_ + "/host_key"), Outcome::Unavailable, "did not finish within",
         true},
    };
    std::vector<std::unique_ptr<FakeConsole>> consoles;
    std::vector<LineCall> calls;
    for (const Case& c : cases) {
        const std::string address =
            c.script
                ? consoles.emplace_back(std::make_unique<FakeConsole>(c.script))->address("ssh")
                : sshd.address(c.user);
        const std::string& known = c.knownHosts.empty() && c.script ? anyPort : c.knownHosts;
        calls.push_back({address, c.call, "", "", "",
                         c.identity.empty() ? sshd.clientKey() : c.identity,
                         known.empty() ? sshd.knownHosts() : known});
    }
    const std::vector<qfclient::Result> results = expectEach(calls, cases, kTimeoutMs);
    consoles.clear();
    EXPECT_EQ(results[2].reply, binary.line);
    EXPECT_HAS(results[6].detail, "'" + changed + "' line 2");
    EXPECT_EQ(other.lines().size(), 1u);
    // Nothing reached the port of the refused lines: no session was opened.
    EXPECT_FALSE(std::ifstream(heard).good());

    // Keys come from ssh-agent too.
    const std::string socket = dir_ + "/agent";
    Spawned agent({"ssh-agent", "-D", "-a", socket}, dir_ + "/agent.log");
    for (int i = 0; i < 500 && ::access(socket.c_str(), F_OK) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    qftest::shell("SSH_AUTH_SOCK=" + socket + " ssh-add -q " + sshd.clientKey() + " 2>/dev/null");
    ::setenv("SSH_AUTH_SOCK", socket.c_str(), 1);
    const qfclient::Result r = callAll(
        {{sshd.address("admin+port01"), qfclient::probeCall(), "", "", "", "", sshd.knownHosts()}},
        kTimeoutMs)[0];
    EXPECT_EQ(r.outcome, Outcome::Ok) << r.detail;
    EXPECT_EQ(board.lines().size(), 2u);
}

}  // namespace
