#include "core/reply.h"

#include <gtest/gtest.h>

#include "core/json_text.h"

namespace {

Json::Value parsed(const std::string& text) {
    Json::Value v;
    EXPECT_TRUE(parseJson(text, v)) << text;
    return v;
}

TEST(ReplyEncoding, EnvelopeEchoesUuidOfAnyTypeCompacted) {
    struct Case {
        const char* request;
        const char* wire;
    } const cases[] = {
        {R"({"cmd":"get_stat"})", "{\"cmd\":\"get_stat\",\"ret_val\":0,\"uuid\":null}\n"},
        {R"({"cmd":"get_stat","uuid":17})", "{\"cmd\":\"get_stat\",\"ret_val\":0,\"uuid\":17}\n"},
        {R"({"cmd":"get_stat","uuid":{"b":[1, 2],"a":"x y"}})",
         "{\"cmd\":\"get_stat\",\"ret_val\":0,\"uuid\":{\"a\":\"xy\",\"b\":[1,2]}}\n"},
        {R"({"cmd":"get_stat","uuid":"a b c"})",
         "{\"cmd\":\"get_stat\",\"ret_val\":0,\"uuid\":\"abc\"}\n"},
        // Control characters inside values are already escaped, so they survive.
        {"{\"cmd\":\"get_stat\",\"uuid\":\"a\\tb\\r\\nc\"}",
         "{\"cmd\":\"get_stat\",\"ret_val\":0,\"uuid\":\"a\\tb\\r\\nc\"}\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(encodeReply(replyEnvelope(parsed(c.request), 0)), c.wire) << c.request;
    }
}

TEST(ReplyEncoding, PatternReplaceIsTheGeneralFormOfTheCompaction) {
    const std::string styled = "{\n   \"a\" : \"x\ty\",\r\n   \"b\" : 1\n}\n";
    EXPECT_EQ(strPatternReplace(std::regex(" |\r|\n|\t"), styled, "") + "\n",
              strFixPatternTrim(styled));
    EXPECT_EQ(strPatternReplace(std::regex("[0-9]+"), "a1b22c", "<$&>"), "a<1>b<22>c");
}

}  // namespace
