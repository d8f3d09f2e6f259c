#include "ctl/options.h"

#include <gtest/gtest.h>

#include <iterator>
#include <sstream>

namespace {

ctl::ParseOutcome parse(const std::string& line) {
    std::istringstream words(line);
    const std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
    return ctl::parseCommandLine(args, "/d");
}

// A timeout that is not a finite number of seconds above 0 would let the client wait for
// ever. Applying a configuration runs ifdown and ifup: a minute unless told otherwise; a tiny
// timeout still waits a millisecond rather than not at all.
TEST(CtlOptions, TimeoutsFollowTheRequest) {
    for (const char* bad : {"", "0", "-1", "nan", "inf", "1e9", "5s"}) {
        int ms = -7;
        EXPECT_FALSE(ctl::parseTimeout(bad, ms)) << bad;
    }
    const ctl::Options defaults;
    const auto clear = qfclient::requestCall(qfclient::clearRequest("u", false));
    EXPECT_EQ(ctl::replyTimeoutMs(defaults, qfclient::requestCall(qfclient::statRequest("u"))),
              5000);
    EXPECT_EQ(ctl::replyTimeoutMs(defaults, clear), 60000);
    EXPECT_EQ(ctl::replyTimeoutMs(parse("--timeout 0.0001 clear").options, clear), 1);
}

// Options may follow the subcommand, and take their value attached or as the next word.
TEST(CtlOptions, CommandLinesAreReadWhole) {
    const ctl::Options set =
        parse(
            "set-net --address 10.0.0.8/24 --gateway=10.0.0.1 --dns 8.8.8.8 --dns fd00::53 "
            "--idc dc1 --soc-ip 10.0.0.8 --pod-id -3 --container aa=b --container=cc=d=e")
            .options;
    EXPECT_EQ(set.net.address, "10.0.0.8/24");
    EXPECT_EQ(set.net.gateway, "10.0.0.1");
    EXPECT_EQ(set.net.dns, (std::vector<std::string>{"8.8.8.8", "fd00::53"}));
    EXPECT_EQ(set.net.podId, -3);
    ASSERT_EQ(set.net.containers->size(), 2u);
    EXPECT_EQ((*set.net.containers)[1].address, "d=e");
    const ctl::Options fleet =
        parse("stat --inventory f --board a --board b --jobs 3 --format jsonl").options;
    EXPECT_EQ(fleet.boards, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(fleet.jobs, 3);
    EXPECT_EQ(fleet.format, ctl::Format::Jsonl);
    EXPECT_EQ(parse("--version probe").kind, ctl::ParseOutcome::Kind::Version);
    EXPECT_EQ(parse("probe -h").kind, ctl::ParseOutcome::Kind::Help);
}

TEST(CtlOptions, MisusedCommandLinesAreRefused) {
    const std::pair<const char*, const char*> cases[] = {
        {"clear --dns 8.8.8.8", "option '--dns' applies only to set-net"},
        {"stat --ipv6", "'--ipv6' applies only to clear"},
        {"", "missing subcommand"},
        {"status", "unknown subcommand 'status'"},
        {"--verbose stat", "unknown option '--verbose'"},
        {"stat --device", "'--device' needs a value"},
        {"--raw=yes stat", "'--raw' takes no value"},
        {"send", "needs an argument: JSON"},
        {"stat extra", "unexpected argument 'extra'"},
        {"--uuid u probe", "--uuid applies only to"},
        {"--device= stat", "no line"},
        {"--timeout 5s stat", "invalid timeout"},
        {"set-net --pod-id 3x", "--pod-id '3x' is not an integer"},
        {"set-net --container aa", "is not MAC=ADDRESS"},
        {"--board a stat", "applies only with --inventory"},
        {"--inventory f send {}", "'send' is for one board"},
        {"--inventory f --address 10.0.0.8/24 set-net", "each board's own configuration"},
        {"--inventory f --raw stat", "is for one board"},
        {"--inventory f --device /dev/x stat", "'--device' is for one board"},
        {"--inventory f --jobs 0 stat", "invalid --jobs"},
        {"--inventory f --format yaml stat", "invalid --format"},
        {"--inventory f --format prometheus hw", "only to probe and stat"},
    };
    for (const auto& [line, error] : cases) {
        const ctl::ParseOutcome parsed = parse(line);
        EXPECT_EQ(parsed.kind, ctl::ParseOutcome::Kind::UsageError) << line;
        EXPECT_NE(parsed.error.find(error), std::string::npos) << line << ": " << parsed.error;
    }
}

}  // namespace
