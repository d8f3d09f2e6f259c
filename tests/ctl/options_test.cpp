#include "ctl/options.h"

#include <gtest/gtest.h>

namespace {

using ctl::ParseOutcome;
using Args = std::vector<std::string>;

// The parsed options on one line, so that each case of the table fits on one.
std::string summary(const ctl::Options& o) {
    const char* names[] = {"probe", "stat", "hw", "send"};
    return std::string(names[static_cast<int>(o.subcommand)]) + " dev=" + o.device +
           " ms=" + std::to_string(o.timeoutMs) + " uuid=" + o.uuid.value_or("<none>") +
           " raw=" + (o.raw ? "1" : "0") + " line=" + o.line;
}

TEST(CtlOptions, AcceptedCommandLines) {
    struct Case {
        Args args;
        const char* env;
        const char* parsed;
    } const cases[] = {
        {{"--device", "/dev/a", "stat"},
         nullptr,
         "stat dev=/dev/a ms=5000 uuid=<none> raw=0 line="},
        {{"hw"}, "/dev/env", "hw dev=/dev/env ms=5000 uuid=<none> raw=0 line="},
        {{"--device=/dev/a", "probe"},
         "/dev/env",
         "probe dev=/dev/a ms=5000 uuid=<none> raw=0 line="},
        {{"--timeout=0.3", "--device", "/d", "probe"},
         nullptr,
         "probe dev=/d ms=300 uuid=<none> raw=0 line="},
        // A tiny timeout still waits a millisecond rather than not at all.
        {{"--timeout", "0.0001", "--device", "/d", "probe"},
         nullptr,
         "probe dev=/d ms=1 uuid=<none> raw=0 line="},
        {{"stat", "--raw", "--uuid", "a b", "--device", "/d"},
         nullptr,
         "stat dev=/d ms=5000 uuid=a b raw=1 line="},
        {{"--uuid=", "--device", "/d", "stat"}, nullptr, "stat dev=/d ms=5000 uuid= raw=0 line="},
        {{"--device", "/d", "send", R"({"cmd":"get_net_conf"})"},
         nullptr,
         R"(send dev=/d ms=5000 uuid=<none> raw=0 line={"cmd":"get_net_conf"})"},
        {{"--device", "/d", "--", "send", "-5"},
         nullptr,
         "send dev=/d ms=5000 uuid=<none> raw=0 line=-5"},
    };
    for (const Case& c : cases) {
        const ParseOutcome out = ctl::parseCommandLine(c.args, c.env);
        ASSERT_EQ(out.kind, ParseOutcome::Kind::Run) << out.error;
        EXPECT_EQ(summary(out.options), c.parsed);
    }
}

TEST(CtlOptions, UsageErrors) {
    struct Case {
        Args args;
        const char* env;
        const char* errorHas;
    } const cases[] = {
        {{}, "/d", "missing subcommand"},
        {{"status"}, "/d", "unknown subcommand 'status'"},
        {{"--verbose", "stat"}, "/d", "unknown option '--verbose'"},
        {{"stat", "--device"}, nullptr, "'--device' needs a value"},
        {{"--raw=yes", "stat"}, "/d", "takes no value"},
        {{"stat", "extra"}, "/d", "unexpected argument 'extra'"},
        {{"send"}, "/d", "needs an argument: JSON"},
        {{"--uuid", "u", "probe"}, "/d", "--uuid applies only to stat, hw"},
        {{"stat"}, nullptr, "no device"},
        {{"stat"}, "", "no device"},
        {{"--device", "", "stat"}, "/d", "no device"},
    };
    for (const Case& c : cases) {
        const ParseOutcome out = ctl::parseCommandLine(c.args, c.env);
        EXPECT_EQ(out.kind, ParseOutcome::Kind::UsageError) << ::testing::PrintToString(c.args);
        EXPECT_NE(out.error.find(c.errorHas), std::string::npos) << out.error;
    }
}

TEST(CtlOptions, TimeoutMustBePositiveSeconds) {
    for (const char* bad : {"", "0", "-1", "abc", "5s", " 5x", "nan", "inf", "1e9", "0x"}) {
        int ms = -7;
        EXPECT_FALSE(ctl::parseTimeout(bad, ms)) << bad;
    }
    int ms = 0;
    EXPECT_TRUE(ctl::parseTimeout("2.5", ms));
    EXPECT_EQ(ms, 2500);
}

TEST(CtlOptions, HelpWinsOverMissingPieces) {
    for (const Args& args : {Args{"--help"}, Args{"stat", "-h"}, Args{"bogus", "--help"}}) {
        EXPECT_EQ(ctl::parseCommandLine(args, nullptr).kind, ParseOutcome::Kind::Help);
    }
}

}  // namespace
