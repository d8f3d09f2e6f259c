#include "ctl/reply.h"

#include <gtest/gtest.h>

namespace {

using Verdict = ctl::ReplyCheck::Verdict;

TEST(CtlReply, VerdictFollowsRetVal) {
    struct Case {
        const char* line;
        Verdict verdict;
    } const cases[] = {
        {"{\"cmd\":\"get_stat\",\"ret_val\":0,\"uuid\":\"1\"}\n", Verdict::Ok},
        {"{\"cmd\":\"x\"}\n", Verdict::Ok},  // nothing claims a failure
        {"{\"cmd\":\"set_net_conf\",\"ret_val\":-1}\n", Verdict::Failed},
        {"{\"ret_val\":256}\n", Verdict::Failed},
        {"{\"ret_val\":18446744073709551615}\n", Verdict::Failed},
        {"{\"ret_val\":\"0\"}\n", Verdict::Failed},
        {"{\"ret_val\":null}\n", Verdict::Failed},
        {"read fail\n", Verdict::NotJson},
        {"\n", Verdict::NotJson},
        {"[1,2]\n", Verdict::NotJson},
        {"{\"ret_val\":0} trailing\n", Verdict::NotJson},
        {"{\"ret_val\":0\n", Verdict::NotJson},
    };
    for (const Case& c : cases) {
        const ctl::ReplyCheck check = ctl::checkReply(c.line);
        EXPECT_EQ(check.verdict, c.verdict) << c.line;
        EXPECT_EQ(check.problem.empty(), c.verdict == Verdict::Ok) << c.line;
    }
    EXPECT_EQ(ctl::checkReply("{\"ret_val\":-1}\n").problem, "board answered ret_val -1");
}

TEST(CtlReply, EscapedBytesAreReadable) {
    EXPECT_EQ(ctl::escapeBytes(std::string("a\\\r\t\n\0\x7f\xc3", 8)),
              "a\\\\\\r\\t\\n\\x00\\x7f\\xc3");
}

}  // namespace
