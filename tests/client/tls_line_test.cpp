// SPDX-License-Identifier: Apache-2.0
// Lines inside TLS (tls:, telnets:) to ser2net's TLS ports, each joined to a board the test
// plays: calls through them, and every certificate that must refuse the line with nothing
// reaching the board. Then TLS servers the test plays that attack the client.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <chrono>
#include <memory>
#include <thread>

#include "fake_board.h"
#include "fake_console.h"
#include "golden.h"
#include "line_calls.h"
#include "quillferry/line.h"
#include "scratch_dir.h"
#include "ser2net.h"
#include "test_pki.h"
#include "test_sshd.h"

namespace {

using qfclient::Outcome;

constexpr int kTimeoutMs = 2000;

// A line whose reply is whatever the board sends back with its uuid: the echo of a line
// that carries a zero byte and 0xFF.
qfclient::Call binaryCall() {
    static const char kLine[] = "{\"uuid\":\"b\",\"x\":\"\x00\xff\xff\x00\xfe\"}\n";
    qfclient::Call call;
    call.line = std::string(kLine, sizeof(kLine) - 1);
    call.uuid = Json::Value("b");
    return call;
}

class ClientTls : public ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        QF_REQUIRE(missingProgram({"openssl", "ser2net"}));
        pki_ = std::make_unique<qftest::TestPki>(dir_);
    }
    std::string ssl(const std::string& cert, const std::string& extra = "") const {
        return "ssl(key=" + pki_->serverKey + ",cert=" + cert + extra + ")";
    }

    std::unique_ptr<qftest::TestPki> pki_;
};

TEST_F(ClientTls, CallsThroughSer2netAndEveryCertificateThatMustRefuseTheLine) {
    const qftest::TestPki& pki = *pki_;
    struct Case {
        const char* what;
        std::string accepter;  // ser2net's, up to its address
        const char* scheme;
        const char* host;
        qfclient::Call call;
        std::string ca, cert, key;
        Outcome outcome;
        const char* detail;
        bool echo = false;
    };
    const qfclient::Call probe = qfclient::probeCall();
    const qfclient::Call stat = qfclient::requestCall(qfclient::statRequest("u"));
    const std::string telnet = "telnet(rfc2217),";
    const std::string clientAuth = ",clientauth";
    std::vector<Case> cases = {
        {"stat by IP address", ssl(pki.server) + ",tcp", "tls", "127.0.0.1", stat, pki.ca, "", "",
         Outcome::Ok, ""},
        {"telnet inside TLS, stat", telnet + ssl(pki.server) + ",tcp", "telnets", "127.0.0.1", stat,
         pki.ca, "", "", Outcome::Ok, ""},
        {"a zero byte and 0xFF both ways", ssl(pki.server) + ",tcp", "tls", "localhost",
         binaryCall(), pki.ca, "", "", Outcome::Ok, "", true},
        {"a zero byte and 0xFF both ways, telnet", telnet + ssl(pki.server) + ",tcp", "telnets",
         "localhost", binaryCall(), pki.ca, "", "", Outcome::Ok, "", true},
        {"client certificate given", ssl(pki.server, clientAuth) + ",tcp", "tls", "localhost",
         probe, pki.ca, pki.client, pki.clientKey, Outcome::Ok, ""},
        {"expired certificate", ssl(pki.expired) + ",tcp", "tls", "localhost", probe, pki.ca, "",
         "", Outcome::Unavailable, "certificate does not verify: certificate has expired"},
        {"certificate for another name", ssl(pki.misnamed) + ",tcp", "tls", "localhost", probe,
         pki.ca, "", "", Outcome::Unavailable, "hostname mismatch, not localhost"},
        {"certificate for another IP address", ssl(pki.misnamed) + ",tcp", "tls", "127.0.0.1",
         probe, pki.ca, "", "", Outcome::Unavailable, "IP address mismatch, not 127.0.0.1"},
        {"certificate signed by itself",
         "ssl(key=" + pki.selfSignedKey + ",cert=" + pki.selfSigned + "),tcp", "telnets",
         "localhost", probe, pki.ca, "", "", Outcome::Unavailable, "self-signed certificate"},
        {"the test's CA is not in the system's store", ssl(pki.server) + ",tcp", "tls", "localhost",
         probe, "", "", "", Outcome::Unavailable, "unable to get local issuer"},
        {"client certificate missing", ssl(pki.server, clientAuth) + ",tcp", "tls", "localhost",
         probe, pki.ca, "", "", Outcome::Unavailable, "asks for a client certificate"},
        {"client certificate from a stranger", ssl(pki.server, clientAuth) + ",tcp", "tls",
         "localhost", probe, pki.ca, pki.strangerClient, pki.strangerClientKey,
         Outcome::Unavailable, "ended the TLS session before anything came"},
        // Never a prompt: the key is refused before any connection is made.
        {"client key locked by a passphrase", ssl(pki.server, clientAuth) + ",tcp", "tls",
         "localhost", probe, pki.ca, pki.client, pki.lockedClientKey, Outcome::Unavailable,
         "needs a passphrase, which the client never asks for"},
    };
    // ser2net takes a client certificate whose common name has a folder there holding it
    // and its CA.
    const std::string authdir = dir_ + "/auth";
    qftest::shell("mkdir -p " + authdir + "/controller/allowed_certs && cp " + pki.client + " " +
                  pki.ca + " " + authdir + "/controller/allowed_certs && openssl rehash " +
                  authdir + "/controller/allowed_certs");
    std::vector<std::unique_ptr<FakeBoard>> boards;
    std::vector<Ser2net::Port> ports;
    for (const Case& c : cases) {
        boards.push_back(
            std::make_unique<FakeBoard>(c.echo ? FakeBoard::echo : FakeBoard::boardAnswer));
        ports.push_back({boards.back()->device(), c.accepter, authdir});
    }
    const Ser2net ser2net(dir_, ports);
    std::vector<LineCall> calls;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        calls.push_back(
            {std::string(c.scheme) + ":" + c.host + ":" + std::to_string(ser2net.port(i)), c.call,
             c.ca, c.cert, c.key});
    }
    const std::vector<qfclient::Result> results = callAll(calls, kTimeoutMs);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const qfclient::Result& r = results[i];
        EXPECT_EQ(r.outcome, c.outcome) << c.what << ": " << r.detail;
        EXPECT_NE(r.detail.find(c.detail), std::string::npos) << c.what << ": " << r.detail;
        EXPECT_LT(r.elapsedMs, kTimeoutMs) << c.what;
        if (c.echo) {
            EXPECT_EQ(r.reply, c.call.line) << c.what;
        }
        // A refused line sends nothing to the board.
        if (c.outcome == Outcome::Unavailable) {
            EXPECT_TRUE(boards[i]->lines().empty() && boards[i]->partial().empty()) << c.what;
        } else {
            EXPECT_EQ(boards[i]->lines().size(), 1u) << c.what;
        }
    }
}

// A TLS server played by the test on a loopback port: it accepts one connection, makes the
// handshake with the test's server certificate (TLS 1.3 unless told), then runs `script`.
FakeConsole::Script tlsServer(const qftest::TestPki& pki, const std::function<void(SSL*)>& script,
                              int maxVersion = TLS1_3_VERSION) {
    return [&pki, script, maxVersion](int fd) {
        const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(
            SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
        SSL_CTX_set_max_proto_version(ctx.get(), maxVersion);
        SSL_CTX_set_security_level(ctx.get(), 0);
        if (SSL_CTX_use_certificate_chain_file(ctx.get(), pki.server.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(ctx.get(), pki.serverKey.c_str(), SSL_FILETYPE_PEM) != 1)
            return;
        const std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx.get()), SSL_free);
        SSL_set_fd(ssl.get(), fd);
        if (SSL_accept(ssl.get()) == 1) script(ssl.get());
        ERR_clear_error();
    };
}

TEST_F(ClientTls, EachAttackInsideTlsFailsOnlyItsOwnLineWithinItsDeadline) {
    const qftest::TestPki& pki = *pki_;
    const std::string flood(16384, 'x');
    const std::string garbage = FakeConsole::garbage(16384);
    struct Case {
        const char* what;
        FakeConsole::Script script;
        const char* detail;
        Outcome outcome;
        bool waits;                  // to its deadline
        const char* scheme = "tls";  // of its line
    } const cases[] = {
        {"answers",
         tlsServer(pki,
                   [](SSL* ssl) {
                       char buf[256];
                       if (SSL_read(ssl, buf, sizeof(buf)) > 0)
                           SSL_write(ssl, golden::kAck.data(), 18);
                       SSL_read(ssl, buf, sizeof(buf));
                   }),
         "", Outcome::Ok, false},
        {"accepts and never starts the handshake", [](int fd) { FakeConsole::awaitClose(fd); },
         "the TLS handshake did not finish within", Outcome::Unavailable, true},
        {"answers the handshake a byte at a time",
         [](int fd) {
             FakeConsole::trickle(
                 fd, std::string("\x16\x03\x03\x00\x7a\x02\x00\x00\x76\x03\x03\x01\x02", 13));
         },
         "the TLS handshake did not finish within", Outcome::Unavailable, true},
        {"answers the handshake with garbage without end",
         [&](int fd) {
             FakeConsole::forSeconds(
                 [&] { return ::send(fd, garbage.data(), garbage.size(), MSG_NOSIGNAL) > 0; });
         },
         "the TLS handshake failed", Outcome::Unavailable, false},
        {"closes in the handshake", [](int fd) { ::shutdown(fd, SHUT_RDWR); },
         "closed the connection during the TLS handshake", Outcome::Unavailable, false},
        {"speaks only TLS 1.1",
         tlsServer(
             pki, [](SSL*) {}, TLS1_1_VERSION),
         "the TLS handshake failed", Outcome::Unavailable, false},
        {"sends without end, never a newline",
         tlsServer(pki,
                   [&](SSL* ssl) {
                       FakeConsole::forSeconds([&] {
                           return SSL_write(ssl, flood.data(), static_cast<int>(flood.size())) > 0;
                       });
                   }),
         "no reply from", Outcome::Timeout, true},
        // Each request refused is answered with an alert, which it does not read.
        {"asks to renegotiate without end and reads nothing",
         tlsServer(
             pki,
             [](SSL* ssl) {
                 FakeConsole::forSeconds(
                     [&] { return SSL_renegotiate(ssl) == 1 && SSL_do_handshake(ssl) == 1; });
             },
             TLS1_2_VERSION),
         "no reply from", Outcome::Timeout, true},
        // Each update it requests would be answered with one of the client's own.
        {"asks for key updates without end and reads nothing",
         tlsServer(pki,
                   [](SSL* ssl) {
                       FakeConsole::forSeconds([&] {
                           return SSL_key_update(ssl, SSL_KEY_UPDATE_REQUESTED) == 1 &&
                                  SSL_write(ssl, "", 0) >= 0 && SSL_do_handshake(ssl) == 1;
                       });
                   }),
         "no reply from", Outcome::Timeout, true},
    };
    std::vector<std::unique_ptr<FakeConsole>> consoles;
    std::vector<LineCall> calls;
    for (const Case& c : cases) {
        consoles.push_back(std::make_unique<FakeConsole>(c.script));
        calls.push_back({consoles.back()->address("tls"), qfclient::probeCall(), pki.ca});
    }
    expectEachAttackFailsOnlyItsLine(calls, cases, kTimeoutMs);
    consoles.clear();
}

// Each offer of a telnet option is answered: the answers pile up for a console server that
// reads nothing, what waits for the socket stops at 24 KiB, and the line fails once 16 KiB
// more wait, as a plain telnet line does (the system's socket buffers take some megabytes
// first, hence the longer deadline).
TEST_F(ClientTls, TelnetInsideTlsThatReadsNothingFailsItsLine) {
    const qftest::TestPki& pki = *pki_;
    FakeConsole console([&](int fd) {
        const int small = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
        tlsServer(pki, [](SSL* ssl) {
            std::string offers;
            for (int i = 0; i < 5000; ++i) offers += telnetBytes({255, 251, 200});
            FakeConsole::forSeconds(
                [&] { return SSL_write(ssl, offers.data(), static_cast<int>(offers.size())) > 0; });
        })(fd);
    });
    HeapGuard bounded(2L * 1024);
    const qfclient::Result r =
        callAll({{console.address("telnets"), qfclient::probeCall(), pki.ca}}, 6000,
                [&] { bounded.sample(); })[0];
    expectResult(r, "telnets", Outcome::Unavailable, "does not take what is sent", 0, 6000);
}

}  // namespace
