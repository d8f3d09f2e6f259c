#include "ctl/options.h"

#include <gtest/gtest.h>

namespace {

using ctl::ParseOutcome;
using Args = std::vector<std::string>;

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

// Applying a configuration runs ifdown and ifup: a minute unless told otherwise; a tiny
// timeout still waits a millisecond rather than not at all.
TEST(CtlOptions, TimeoutsFollowTheRequest) {
    const ctl::Options defaults;
    EXPECT_EQ(ctl::replyTimeoutMs(defaults, "get_stat"), 5000);
    EXPECT_EQ(ctl::replyTimeoutMs(defaults, "set_net_conf"), 60000);
    const ParseOutcome given = ctl::parseCommandLine({"--timeout", "0.0001", "clear"}, "/d");
    EXPECT_EQ(ctl::replyTimeoutMs(given.options, "set_net_conf"), 1);
}

}  // namespace
