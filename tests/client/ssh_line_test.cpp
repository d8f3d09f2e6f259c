// SPDX-License-Identifier: Apache-2.0
// Lines over SSH (ssh:) to sshd, whose users are port selectors joined to what the test plays:
// calls through them, and every host key and key that must refuse the line before anything is
// sent; keys from ssh-agent. Then SSH servers the test plays that attack the client.
#include <gtest/gtest.h>
#include <libssh/libssh.h>
#include <libssh/server.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>

#include "fake_board.h"
#include "fake_console.h"
#include "line_calls.h"
#include "quillferry/line.h"
#include "scratch_dir.h"
#include "test_sshd.h"

namespace {

using qfclient::Outcome;

constexpr int kTimeoutMs = 3000;

class ClientSsh : public ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        QF_REQUIRE(qftest::TestSshd::missing());
        ::unsetenv("SSH_AUTH_SOCK");  // keys from an agent only where a test starts one
    }
    // The command that joins a session to a board's line, as a console server's port does.
    static std::string joined(const FakeBoard& board) {
        return "socat - FILE:" + board.device() + ",rawer";
    }
};

TEST_F(ClientSsh, CallsThroughSshdAndEveryKeyThatMustRefuseTheLine) {
    const FakeBoard board;
    const FakeBoard other;
    const std::string heard = dir_ + "/heard";
    const qftest::TestSshd sshd(dir_,
                                {{"admin+port01", joined(board)},
                                 {"admin+port06", joined(other)},
                                 {"admin+port02", "cat"},
                                 {"admin+port03", "echo 'Port already in use'; exit 1"},
                                 {"admin+port04", "echo 'Port already in use' >&2; exit 1"},
                                 {"admin+port05", "cat >" + heard},
                                 {"admin+port07", "cat >" + heard,
                                  "AuthenticationMethods password\nPasswordAuthentication yes"}});
    qftest::shell("ssh-keygen -q -t ed25519 -N '' -f " + dir_ +
                  "/stranger && ssh-keygen -q -t "
                  "ed25519 -N secret -f " +
                  dir_ + "/locked && cat " + dir_ + "/locked.pub >>" + dir_ +
                  "/authorized_keys && ssh-keygen -q -t ed25519 -N '' -f " + dir_ +
                  "/other_host && ssh-keygen -q -t ecdsa -N '' -f " + dir_ + "/ecdsa_host");
    const std::string hostName = "[127.0.0.1]:" + std::to_string(sshd.port());
    const auto keyOf = [&](const char* name) {
        const std::string pub = contents(std::string(name) + ".pub");
        return pub.substr(0, pub.find(' ', pub.find(' ') + 1));
    };
    const std::string empty = put("empty_known_hosts", "");
    const std::string changed =
        put("changed_known_hosts",
            ("# kept by hand\n" + hostName + " " + keyOf("other_host") + "\n").c_str());
    const std::string otherType =
        put("other_type_known_hosts", (hostName + " " + keyOf("ecdsa_host") + "\n").c_str());

    static const char kBinary[] = "{\"uuid\":\"b\",\"x\":\"\x00\xff\xff\x00\r\x03\x04\"}\n";
    qfclient::Call binary;
    binary.line = std::string(kBinary, sizeof(kBinary) - 1);
    binary.uuid = Json::Value("b");
    const qfclient::Call probe = qfclient::probeCall();
    const qfclient::Call stat = qfclient::requestCall(qfclient::statRequest("u"));
    struct Case {
        const char* what;
        std::string user;
        qfclient::Call call;
        std::string identity;
        std::string knownHosts;
        Outcome outcome;
        const char* detail;
    } const cases[] = {
        {"probe", "admin+port01", probe, sshd.clientKey(), sshd.knownHosts(), Outcome::Ok, ""},
        {"stat", "admin+port06", stat, sshd.clientKey(), sshd.knownHosts(), Outcome::Ok, ""},
        {"a zero byte, 0xFF, CR, ^C and ^D both ways, untouched", "admin+port02", binary,
         sshd.clientKey(), sshd.knownHosts(), Outcome::Ok, ""},
        {"the port in use, said on the session", "admin+port03", probe, sshd.clientKey(),
         sshd.knownHosts(), Outcome::Busy, "Port already in use"},
        {"the port in use, said on standard error", "admin+port04", probe, sshd.clientKey(),
         sshd.knownHosts(), Outcome::Busy, "Port already in use"},
        {"unknown host key", "admin+port05", probe, sshd.clientKey(), empty, Outcome::Unavailable,
         "is unknown: the console server offers ssh-ed25519 SHA256:"},
        {"changed host key", "admin+port05", probe, sshd.clientKey(), changed, Outcome::Unavailable,
         "HAS CHANGED: the console server offers ssh-ed25519 SHA256:"},
        {"host known by a key of another type", "admin+port05", probe, sshd.clientKey(), otherType,
         Outcome::Unavailable, "line 1 holds a key of another type"},
        {"refused key", "admin+port05", probe, dir_ + "/stranger", sshd.knownHosts(),
         Outcome::Unavailable, "refused every key offered for 'admin+port05'"},
        {"key locked by a passphrase", "admin+port05", probe, dir_ + "/locked", sshd.knownHosts(),
         Outcome::Unavailable, "needs a passphrase was passed over"},
        {"a port that wants a password", "admin+port07", probe, sshd.clientKey(), sshd.knownHosts(),
         Outcome::Unavailable, "wants a password, which the client never sends"},
        {"no such port", "admin+port99", probe, sshd.clientKey(), sshd.knownHosts(),
         Outcome::Unavailable, "refused every key"},
    };
    std::vector<LineCall> calls;
    for (const Case& c : cases)
        calls.push_back({sshd.address(c.user), c.call, "", "", "", c.identity, c.knownHosts});
    const std::vector<qfclient::Result> results = callAll(calls, kTimeoutMs);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        expectResult(results[i], c.what, c.outcome, c.detail, 0, kTimeoutMs);
    }
    EXPECT_EQ(results[2].reply, binary.line);
    EXPECT_NE(results[6].detail.find("'" + changed + "' line 2"), std::string::npos)
        << results[6].detail;
    EXPECT_EQ(board.lines().size(), 1u);
    EXPECT_EQ(other.lines().size(), 1u);
    // Nothing reached the port of the refused lines: no session was opened.
    EXPECT_FALSE(std::ifstream(heard).good());
}

// An SSH server played with libssh's server side: it makes the key exchange with `hostKey`
// (a private key as text), then asks for keepalives without end and reads nothing, each sent
// once its socket takes more.
FakeConsole::Script keepalivesWithoutEnd(const std::string& hostKey) {
    return [hostKey](int fd) {
        // The bind takes the key for its own.
        ssh_key key = nullptr;
        if (ssh_pki_import_privkey_base64(hostKey.c_str(), nullptr, nullptr, nullptr, &key) !=
            SSH_OK)
            return;
        const int small = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
        ssh_bind bind = ssh_bind_new();
        ssh_session session = ssh_new();
        if (bind == nullptr || session == nullptr ||
            ssh_bind_options_set(bind, SSH_BIND_OPTIONS_IMPORT_KEY, key) != SSH_OK ||
            ssh_bind_accept_fd(bind, session, ::dup(fd)) != SSH_OK ||
            ssh_handle_key_exchange(session) != SSH_OK) {
            ssh_free(session);
            ssh_bind_free(bind);
            return;
        }
        pollfd p = {fd, POLLOUT, 0};
        FakeConsole::forSeconds([&] {
            if (::poll(&p, 1, 100) != 1) return true;  // the client reads no more: wait
            return ssh_send_keepalive(session) == SSH_OK;
        });
        ssh_free(session);
        ssh_bind_free(bind);
    };
}

TEST_F(ClientSsh, AttacksFailOnlyTheirOwnLineAndAgentKeysServe) {
    const qftest::TestSshd sshd(dir_, {{"admin+port01",
                                        "head -n 1 >/dev/null; printf 'Quillferry_Ok!!!\\n\\000'; "
                                        "cat >/dev/null"},
                                       {"admin+port02", "cat /dev/zero"},
                                       {"admin+port03", "cat /dev/zero >&2"},
                                       {"admin+port04",
                                        "head -n 1 >/dev/null; for c in Q u i l l f; do printf $c; "
                                        "sleep 1; done"}});
    const std::string garbage = FakeConsole::garbage(16384);
    const std::string banner = "SSH-2.0-OpenSSH_9.2\r\n";
    ssh_key hostKey = nullptr;
    ASSERT_EQ(ssh_pki_generate(SSH_KEYTYPE_ED25519, 0, &hostKey), SSH_OK);
    const std::unique_ptr<ssh_key_struct, decltype(&ssh_key_free)> ownedKey(hostKey, ssh_key_free);
    char* hostKeyText = nullptr;
    ASSERT_EQ(ssh_pki_export_pubkey_base64(hostKey, &hostKeyText), SSH_OK);
    // sshd's key, and the played server's on any port.
    const std::string knownHosts =
        put("known_hosts",
            (contents("known_hosts") + "[127.0.0.1]:* ssh-ed25519 " + hostKeyText + "\n").c_str());
    ssh_string_free_char(hostKeyText);
    char* privateText = nullptr;
    ASSERT_EQ(ssh_pki_export_privkey_base64(hostKey, nullptr, nullptr, nullptr, &privateText),
              SSH_OK);
    const std::string privateKey = privateText;
    ssh_string_free_char(privateText);
    struct Case {
        const char* what;
        std::string user;            // on the real sshd
        FakeConsole::Script script;  // or a server the test plays
        const char* detail;
        Outcome outcome;
        bool waits;  // to its deadline
    } const cases[] = {
        {"answers", "admin+port01", nullptr, "", Outcome::Ok, false},
        {"sends without end, never a newline", "admin+port02", nullptr, "no reply from",
         Outcome::Timeout, true},
        {"writes its standard error without end", "admin+port03", nullptr, "no reply from",
         Outcome::Timeout, true},
        {"answers a byte a second", "admin+port04", nullptr, "(received only: Qu", Outcome::Timeout,
         true},
        {"accepts and never says a word", "", [](int fd) { FakeConsole::awaitClose(fd); },
         "the SSH handshake (version and key exchange) did not finish", Outcome::Unavailable, true},
        {"says its version a byte at a time", "", [&](int fd) { FakeConsole::trickle(fd, banner); },
         "did not finish within", Outcome::Unavailable, true},
        {"says a version line without end", "",
         [](int fd) {
             FakeConsole::write(fd, "SSH-2.0-");
             const std::string x(4096, 'x');
             FakeConsole::forSeconds(
                 [&] { return ::send(fd, x.data(), x.size(), MSG_NOSIGNAL) > 0; });
         },
         "the SSH handshake failed", Outcome::Unavailable, false},
        {"says other lines than its version without end", "",
         [](int fd) {
             FakeConsole::forSeconds([&] { return ::send(fd, "hello\r\n", 7, MSG_NOSIGNAL) > 0; });
         },
         "did not finish within", Outcome::Unavailable, true},
        {"sends garbage after its version", "",
         [&](int fd) {
             FakeConsole::write(fd, banner);
             FakeConsole::forSeconds(
                 [&] { return ::send(fd, garbage.data(), garbage.size(), MSG_NOSIGNAL) > 0; });
         },
         "the SSH handshake failed", Outcome::Unavailable, false},
        // The client is held up in its authentication, and only its own line with it.
        {"asks for keepalives without end and reads nothing", "", keepalivesWithoutEnd(privateKey),
         "did not finish within", Outcome::Unavailable, true},
    };
    std::vector<std::unique_ptr<FakeConsole>> consoles;
    std::vector<LineCall> calls;
    for (const Case& c : cases) {
        std::string address = sshd.address(c.user);
        if (c.script) {
            consoles.push_back(std::make_unique<FakeConsole>(c.script));
            address = consoles.back()->address("ssh");
        }
        calls.push_back({address, qfclient::probeCall(), "", "", "", sshd.clientKey(), knownHosts});
    }
    expectEachAttackFailsOnlyItsLine(calls, cases, kTimeoutMs);
    consoles.clear();

    // Keys come from ssh-agent too.
    const std::string socket = dir_ + "/agent";
    Spawned agent({"ssh-agent", "-D", "-a", socket}, dir_ + "/agent.log");
    for (int i = 0; i < 500 && ::access(socket.c_str(), F_OK) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    qftest::shell("SSH_AUTH_SOCK=" + socket + " ssh-add -q " + sshd.clientKey() + " 2>/dev/null");
    ::setenv("SSH_AUTH_SOCK", socket.c_str(), 1);
    const qfclient::Result r =
        callAll({{sshd.address("admin+port01"), qfclient::probeCall(), "", "", "", "", knownHosts}},
                kTimeoutMs)[0];
    EXPECT_EQ(r.outcome, Outcome::Ok) << r.detail;
}

}  // namespace
