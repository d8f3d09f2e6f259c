// SPDX-License-Identifier: Apache-2.0
// What quillferry-ctl prints and how it exits, against a board played on a pty's master end.
#include "ctl/session.h"

#include <gtest/gtest.h>

#include <future>
#include <iterator>
#include <sstream>

#include "captured.h"
#include "client/serial_link.h"
#include "expect_text.h"
#include "golden.h"
#include "raw_pty.h"

namespace {

// The words of a command line.
std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    return {std::istream_iterator<std::string>(in), {}};
}

TEST(CtlSession, PrintsTheReplyToItsOwnRequestAndExitsWithItsOutcome) {
    const std::string stale = "{\"cmd\":\"get_stat\",\"ret_val\":0,\"uuid\":\"old\"}\n";
    const std::string ack(golden::kAck);
    const std::string noise = "\x13\r\n";
    const std::string ok = "{\"ret_val\":0,\"uuid\":\"u\"}\n";
    const std::string failed = "{\"ret_val\":-1,\"uuid\":\"u\"}\n";
    Json::Value reply;
    Json::Reader().parse(failed, reply);
    const std::string styled = reply.toStyledString();  // without --raw
    const std::string putBack = "{\"gateway_check\":\"silent\",\"ret_val\":-5,\"uuid\":\"u\"}\n";
    const std::string garbage = "{\"ret_val\":\"x\",\"uuid\":\"u\"}\n";
    // A reply that echoes the uuid but is nested past any reply's depth.
    const std::string deep = "{\"uuid\":\"u\",\"x\":" + std::string(2048, '[') + "\n";
    const std::string setNet =
        "--raw set-net --address 10.0.0.8/24 --gateway 10.0.0.1 --dns 10.0.0.53 --idc dc1 "
        "--soc-ip 10.0.0.8 --pod-id 3 --verify-gateway 3";
    struct Case {
        std::string args;  // after --device and, but for the probe, --uuid u
        std::string answer;
        std::string out;
        int status;       // 74: standard output is /dev/full
        const char* err;  // each of its lines in standard error
    } const cases[] = {
        // Noise (a cooked device would change it), a late reply and acknowledgement: noted.
        {"--raw stat", noise + stale + ack + ok, ok, 0, "request: \\x13\\r\\n\n\\x00"},
        {"stat", failed, styled, 1, "ret_val -1"},
        // A malformed reply is shown, not printed as a reply, unless asked for raw.
        {"stat", garbage, "", 1, "not an integer: {\"ret_val\":\"x\""},
        {"--raw stat", garbage, garbage, 1, "not an integer"},
        {"stat", deep, "", 1, "reply is nested deeper than 64 levels: {\"uuid\":\"u\""},
        {"--raw probe", stale + ack, "Quillferry_Ok!!!\\n\\x00\n", 0, "note: discarded"},
        {"probe", ack, "alive\n", 0, ""},
        // A board of an earlier version tells nothing in force, nor a gateway check: said so.
        {"--raw netconf", ok, ok, 0, "the board cannot tell what it runs"},
        {setNet, ok, ok, 0, "no gateway check ran: the board does not know verify_gateway"},
        {setNet, putBack, putBack, 1,
         "ret_val -5\nthe configuration before is back in force\ndid not answer within 3 s"},
        // Output that cannot be written is not the board's fault, whose answer is still told.
        {"stat", failed, "", 74, "cannot write the output: No space left\nret_val -1"},
    };
    for (const Case& c : cases) {
        RawPty pty = openRawPty();
        qfclient::SerialLink board(std::move(pty.master));
        // As a device starts, cooked (CR to NL, XON/XOFF, echo): the client makes it raw.
        termios cooked{};
        ASSERT_EQ(::tcgetattr(pty.slave.get(), &cooked), 0);
        cooked.c_iflag |= ICRNL | IXON;
        cooked.c_lflag |= ICANON | ECHO;
        ASSERT_EQ(::tcsetattr(pty.slave.get(), TCSANOW, &cooked), 0);
        const bool probe = c.args.find("probe") != std::string::npos;
        const ctl::ParseOutcome parsed = ctl::parseCommandLine(
            words("--device " + pty.slavePath + (probe ? " " : " --uuid u ") + c.args), nullptr);
        ASSERT_EQ(parsed.kind, ctl::ParseOutcome::Kind::Run) << parsed.error;
        auto client = std::async(std::launch::async, [&] {
            return capture(
                [&](std::FILE* out, std::FILE* err) {
                    return ctl::runCommand(parsed.options, out, err);
                },
                c.status == 74);
        });
        std::string request;
        if (board.readLine(request, 5000) == qfclient::SerialLink::Status::Ok) board.send(c.answer);
        const Captured o = client.get();
        const std::string label = c.args + "\n" + o.err;
        EXPECT_EQ(o.status, c.status) << label;
        EXPECT_EQ(o.out, c.out) << label;
        std::istringstream parts(c.err);
        for (std::string e; std::getline(parts, e);) EXPECT_HAS(o.err, e) << label;
    }
}

// Files that do not suit the line are a usage error before any connection is tried.
TEST(CtlSession, FilesThatDoNotSuitTheLineAreAUsageError) {
    const std::pair<const char*, const char*> cases[] = {
        {"--device tls:127.0.0.1:1 --cert /etc/passwd probe", "needs its key"},
        {"--device ssh:127.0.0.1:1 --ca /etc/passwd probe", "a CA file is for tls: and telnets:"},
    };
    for (const auto& [args, error] : cases) {
        const ctl::ParseOutcome parsed = ctl::parseCommandLine(words(args), nullptr);
        ASSERT_EQ(parsed.kind, ctl::ParseOutcome::Kind::Run) << parsed.error;
        const Captured o = capture([&](std::FILE* out, std::FILE* err) {
            return ctl::runCommand(parsed.options, out, err);
        });
        EXPECT_EQ(o.status, 64) << o.err;
        EXPECT_HAS(o.err, error);
    }
}

}  // namespace
