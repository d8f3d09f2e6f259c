#include "ctl/reply.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Verdict = ctl::ReplyCheck::Verdict;

// Only an integral ret_val of 0 is success; a reply that claims nothing is taken as one.
TEST(CtlReply, VerdictFollowsRetVal) {
    const std::pair<Verdict, std::vector<const char*>> cases[] = {
        {Verdict::Ok, {R"({"cmd":"get_stat","ret_val":0,"uuid":"1"})", R"({"cmd":"x"})"}},
        {Verdict::Failed,
         {R"({"ret_val":-1})", R"({"ret_val":256})", R"({"ret_val":18446744073709551615})",
          R"({"ret_val":"0"})", R"({"ret_val":null})"}},
        {Verdict::NotJson,
         {"read fail", "", "[1,2]", R"({"ret_val":0} trailing)", R"({"ret_val":0)"}},
    };
    for (const auto& [verdict, lines] : cases) {
        for (const char* line : lines) {
            const ctl::ReplyCheck check = ctl::checkReply(std::string(line) + "\n");
            EXPECT_EQ(check.verdict, verdict) << line;
            EXPECT_EQ(check.problem.empty(), verdict == Verdict::Ok) << line;
        }
    }
    EXPECT_EQ(ctl::checkReply("{\"ret_val\":-1}\n").problem, "board answered ret_val -1");
}

}  // namespace
