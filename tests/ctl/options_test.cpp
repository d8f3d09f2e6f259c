#include "ctl/options.h"

#include <gtest/gtest.h>

namespace {

// A timeout that is not a finite number of seconds above 0 would let the client wait for
// ever. Applying a configuration runs ifdown and ifup: a minute unless told otherwise; a tiny
// timeout still waits a millisecond rather than not at all.
TEST(CtlOptions, TimeoutsFollowTheRequest) {
    for (const char* bad : {"", "0", "-1", "nan", "inf", "1e9", "5s"}) {
        int ms = -7;
        EXPECT_FALSE(ctl::parseTimeout(bad, ms)) << bad;
    }
    const ctl::Options defaults;
    EXPECT_EQ(ctl::replyTimeoutMs(defaults, "get_stat"), 5000);
    EXPECT_EQ(ctl::replyTimeoutMs(defaults, "set_net_conf"), 60000);
    const auto given = ctl::parseCommandLine({"--timeout", "0.0001", "clear"}, "/d");
    EXPECT_EQ(ctl::replyTimeoutMs(given.options, "set_net_conf"), 1);
}

}  // namespace
