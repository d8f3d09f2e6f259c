#include "ctl/options.h"

#include <gtest/gtest.h>

namespace {

using ctl::ParseOutcome;
using Args = std::vector<std::string>;

TEST(CtlOptions, AcceptedCommandLines) {
    struct Case {
        Args args;
        const char* env;
        const char* device;
        int timeoutMs;
        const char* line;
    } const cases[] = {
        {{"--device", "/dev/a", "stat"}, nullptr, "/dev/a", 5000, ""},
        {{"hw"}, "/dev/env", "/dev/env", 5000, ""},
        {{"--device=/dev/a", "--timeout=0.3", "probe"}, "/dev/env", "/dev/a", 300, ""},
        // A tiny timeout still waits a millisecond rather than not at all.
        {{"--timeout", "0.0001", "probe"}, "/d", "/d", 1, ""},
        {{"--", "send", "-5"}, "/d", "/d", 5000, "-5"},
    };
    for (const Case& c : cases) {
        const ParseOutcome out = ctl::parseCommandLine(c.args, c.env);
        ASSERT_EQ(out.kind, ParseOutcome::Kind::Run) << out.error;
        EXPECT_EQ(out.options.device, c.device);
        EXPECT_EQ(ctl::replyTimeoutMs(out.options, "get_stat"), c.timeoutMs);
        EXPECT_EQ(out.options.line, c.line);
    }
    // Applying a configuration runs ifdown and ifup: a minute unless told otherwise.
    const ParseOutcome given = ctl::parseCommandLine({"--timeout", "2", "clear"}, "/d");
    EXPECT_EQ(ctl::replyTimeoutMs(ParseOutcome().options, "set_net_conf"), 60000);
    EXPECT_EQ(ctl::replyTimeoutMs(given.options, "set_net_conf"), 2000);
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
        {{"send"}, "/d", "needs an argument: JSON"},
        {{"--uuid", "u", "probe"}, "/d", "--uuid applies only to"},
        {{"stat"}, "", "no device"},
        {{"--timeout", "5s", "stat"}, "/d", "invalid timeout"},
    };
    for (const Case& c : cases) {
        const ParseOutcome out = ctl::parseCommandLine(c.args, c.env);
        EXPECT_EQ(out.kind, ParseOutcome::Kind::UsageError) << ::testing::PrintToString(c.args);
        EXPECT_NE(out.error.find(c.errorHas), std::string::npos) << out.error;
    }
    for (const char* bad : {"0", "-1", "nan", "inf", "1e9"}) {
        int ms = -7;
        EXPECT_FALSE(ctl::parseTimeout(bad, ms)) << bad;
    }
}

}  // namespace
