// SPDX-License-Identifier: Apache-2.0
// Lines inside TLS (tls:, telnets:) to ser2net's TLS ports, each joined to a board the test
// plays, and to TLS servers the test plays, all at once: calls through them, every
// certificate that must refuse the line with nothing reaching the board, and attacks that
// fail only their own line.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <memory>
#include <vector>

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
using namespace std::string_literals;
using ClientTls = ScratchDir;

constexpr int kTimeoutMs = 2000;

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

// Calls `write` on a TLS session until it fails or 4 s have passed.
FakeConsole::Script tlsFlood(const qftest::TestPki& pki, const std::function<bool(SSL*)>& write,
                             int maxVersion = TLS1_3_VERSION) {
    return tlsServer(
        pki, [write](SSL* ssl) { FakeConsole::forSeconds([&] { return write(ssl); }); },
        maxVersion);
}

TEST_F(ClientTls, CallsCertificatesAndAttacksEachOnTheirOwnLine) {
    QF_REQUIRE(missingProgram({"openssl", "ser2net"}));
    const qftest::TestPki pki(dir_);
    // Answered by whatever the board echoes with its uuid.
    const qfclient::Call binary{"{\"uuid\":\"b\",\"x\":\"\x00\xff\xff\x00\xfe\"}\n"s, false, "b",
                                "", 0};
    const qfclient::Call probe = qfclient::probeCall();
    const qfclient::Call stat = qfclient::requestCall(qfclient::statRequest("u"));
    const auto accepter = [](const std::string& cert, const std::string& key,
                             const char* more = "") {
        return "ssl(key=" + key + ",cert=" + cert + more + "),tcp";
    };
    const std::string tls = accepter(pki.server, pki.serverKey);
    const std::string telnets = "telnet(rfc2217)," + tls;
    const std::string clientAuth = accepter(pki.server, pki.serverKey, ",clientauth");
    const std::string flood(16384, 'x');
    const std::string garbage = FakeConsole::garbage(16384);
    struct Case {
        const char* what;
        const char* at;        // the line's scheme and host
        std::string accepter;  // ser2net's, up to its address; empty: `script` plays the server
        FakeConsole::Script script;
        Outcome outcome;
        const char* detail;
        bool waits = false;  // to its deadline
        qfclient::Call call = qfclient::probeCall();
        std::string cert = "", key = "";
        bool systemCa = false;  // the system's store, else the test's CA
    };
    const std::vector<Case> cases = {
        {"stat by IP address", "tls:127.0.0.1", tls, nullptr, Outcome::Ok, "", false, stat},
        {"telnet inside TLS, stat", "telnets:127.0.0.1", telnets, nullptr, Outcome::Ok, "", false,
         stat},
        {"a zero byte and 0xFF both ways", "tls:localhost", tls, nullptr, Outcome::Ok, "", false,
         binary},
        {"the same, telnet", "telnets:localhost", telnets, nullptr, Outcome::Ok, "", false, binary},
        {"client certificate given", "tls:localhost", clientAuth, nullptr, Outcome::Ok, "", false,
         probe, pki.client, pki.clientKey},
        {"expired certificate", "tls:localhost", accepter(pki.expired, pki.serverKey), nullptr,
         Outcome::Unavailable, "certificate does not verify: certificate has expired"},
        {"certificate for another name", "tls:localhost", accepter(pki.misnamed, pki.serverKey),
         nullptr, Outcome::Unavailable, "hostname mismatch, not localhost"},
        {"certificate for another IP address", "tls:127.0.0.1",
         accepter(pki.misnamed, pki.serverKey), nullptr, Outcome::Unavailable,
         "IP address mismatch, not 127.0.0.1"},
        {"certificate signed by itself", "telnets:localhost",
         accepter(pki.selfSigned, pki.selfSignedKey), nullptr, Outcome::Unavailable,
         "self-signed certificate"},
        {"the test's CA is not in the system's store", "tls:localhost", tls, nullptr,
         Outcome::Unavailable, "unable to get local issuer", false, probe, "", "", true},
        {"client certificate missing", "tls:localhost", clientAuth, nullptr, Outcome::Unavailable,
         "asks for a client certificate"},
        {"client certificate from a stranger", "tls:localhost", clientAuth, nullptr,
         Outcome::Unavailable, "ended the TLS session before anything came", false, probe,
         pki.strangerClient, pki.strangerClientKey},
        // Never a prompt: the key is refused before any connection is made.
        {"client key locked by a passphrase", "tls:localhost", clientAuth, nullptr,
         Outcome::Unavailable, "needs a passphrase, which the client never asks for", false, probe,
         pki.client, pki.lockedClientKey},
        {"answers", "tls:127.0.0.1", "",
         tlsServer(pki,
                   [](SSL* ssl) {
                       char buf[256];
                       if (SSL_read(ssl, buf, sizeof(buf)) > 0)
                           SSL_write(ssl, golden::kAck.data(), 18);
                       SSL_read(ssl, buf, sizeof(buf));
                   }),
         Outcome::Ok, ""},
        {"accepts and never starts the handshake", "tls:127.0.0.1", "",
         [](int fd) { FakeConsole::awaitClose(fd); }, Outcome::Unavailable,
         "the TLS handshake did not finish within", true},
        {"answers the handshake a byte at a time", "tls:127.0.0.1", "",
         [](int fd) {
             FakeConsole::trickle(
                 fd, std::string("\x16\x03\x03\x00\x7a\x02\x00\x00\x76\x03\x03\x01\x02", 13));
         },
         Outcome::Unavailable, "the TLS handshake did not finish within", true},
        {"answers the handshake with garbage without end", "tls:127.0.0.1", "",
         [&](int fd) { FakeConsole::flood(fd, garbage); }, Outcome::Unavailable,
         "the TLS handshake failed"},
        {"closes in the handshake", "tls:127.0.0.1", "", [](int fd) { ::shutdown(fd, SHUT_RDWR); },
         Outcome::Unavailable, "closed the connection during the TLS handshake"},
        {"speaks only TLS 1.1", "tls:127.0.0.1", "",
         tlsServer(
             pki, [](SSL*) {}, TLS1_1_VERSION),
         Outcome::Unavailable, "the TLS handshake failed"},
        {"sends without end, never a newline", "tls:127.0.0.1", "",
         tlsFlood(pki, [&](SSL* ssl) { return SSL_write(ssl, flood.data(), 16384) > 0; }),
         Outcome::Timeout, "no reply from", true},
        // Each request refused is answered with an alert, which it does not read.
        {"asks to renegotiate without end and reads nothing", "tls:127.0.0.1", "",
         tlsFlood(
             pki, [](SSL* ssl) { return SSL_renegotiate(ssl) == 1 && SSL_do_handshake(ssl) == 1; },
             TLS1_2_VERSION),
         Outcome::Timeout, "no reply from", true},
        // Each update it requests would be answered with one of the client's own.
        {"asks for key updates without end and reads nothing", "tls:127.0.0.1", "",
         tlsFlood(pki,
                  [](SSL* ssl) {
                      return SSL_key_update(ssl, SSL_KEY_UPDATE_REQUESTED) == 1 &&
                             SSL_write(ssl, "", 0) >= 0 && SSL_do_handshake(ssl) == 1;
                  }),
         Outcome::Timeout, "no reply from", true},
    };
    // ser2net takes a client certificate whose common name has a folder there holding it
    // and its CA.
    const std::string authdir = dir_ + "/auth";
    qftest::shell("mkdir -p " + authdir + "/controller/allowed_certs && cp " + pki.client + " " +
                  pki.ca + " " + authdir + "/controller/allowed_certs && openssl rehash " +
                  authdir + "/controller/allowed_certs");
    std::vector<std::unique_ptr<FakeBoard>> boards;  // one per ser2net port
    std::vector<Ser2net::Port> ports;
    for (const Case& c : cases) {
        if (c.script) continue;
        boards.push_back(std::make_unique<FakeBoard>(
            c.call.line == binary.line ? FakeBoard::echo : FakeBoard::boardAnswer));
        ports.push_back({boards.back()->device(), c.accepter, authdir});
    }
    const Ser2net ser2net(dir_, ports);
    std::vector<std::unique_ptr<FakeConsole>> consoles;
    std::vector<LineCall> calls;
    for (const Case& c : cases) {  // the rows of ser2net's ports first
        const int port =
            c.script ? consoles.emplace_back(std::make_unique<FakeConsole>(c.script))->port()
                     : ser2net.port(calls.size());
        calls.push_back({std::string(c.at) + ":" + std::to_string(port), c.call,
                         c.systemCa ? "" : pki.ca, c.cert, c.key});
    }
    // The rows of ser2net's ports on their own: the system's store, which one of them loads,
    // takes more of the client's heap than the floods among the others may make it hold.
    const auto split = calls.begin() + static_cast<std::ptrdiff_t>(boards.size());
    const std::vector<qfclient::Result> results =
        expectEach(std::vector<LineCall>(calls.begin(), split), cases, kTimeoutMs);
    expectEach(std::vector<LineCall>(split, calls.end()), cases.data() + boards.size(), kTimeoutMs);
    consoles.clear();
    for (std::size_t i = 0; i < boards.size(); ++i) {
        const Case& c = cases[i];
        EXPECT_EQ(results[i].reply, c.call.line == binary.line ? binary.line : results[i].reply);
        // A refused line sends nothing to the board.
        const bool refused = c.outcome == Outcome::Unavailable;
        EXPECT_EQ(boards[i]->lines().size(), refused ? 0u : 1u) << c.what;
        EXPECT_EQ(boards[i]->partial(), "") << c.what;
    }
}

// Each offer of a telnet option is answered: the answers pile up for a server that reads
// nothing, what waits for the socket stops at 24 KiB, and the line fails once 16 KiB more
// wait, as a plain telnet line does (the system's socket buffers take some megabytes first,
// hence the longer deadline).
TEST_F(ClientTls, TelnetInsideTlsThatReadsNothingFailsItsLine) {
    QF_REQUIRE(missingProgram({"openssl"}));
    const qftest::TestPki pki(dir_);
    std::string offers;
    for (int i = 0; i < 5000; ++i) offers += telnetBytes({255, 251, 200});
    FakeConsole console([&](int fd) {
        const int small = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
        tlsFlood(pki, [&](SSL* ssl) {
            return SSL_write(ssl, offers.data(), static_cast<int>(offers.size())) > 0;
        })(fd);
    });
    const qfclient::Result r = callAll({{console.address("telnets"), {}, pki.ca}}, 6000)[0];
    EXPECT_EQ(r.outcome, Outcome::Unavailable) << r.detail;
    EXPECT_HAS(r.detail, "does not take what is sent");
}

}  // namespace
