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

TEST(ReplyEncoding, MembersSortedAndNoWhiteSpaceLeft) {
    Json::Value reply = replyEnvelope(parsed(R"({"cmd":"get_hardware_conf","uuid":"1"})"), 0);
    reply["ram"] = "8G LPDDR5";
    reply["cpu"] = "QCS8250";
    reply["rom"] = "128G UFS3.0";
    reply["gpu"] = "Adreno650";
    const std::string wire = encodeReply(reply);
    EXPECT_EQ(wire,
              "{\"cmd\":\"get_hardware_conf\",\"cpu\":\"QCS8250\",\"gpu\":\"Adreno650\","
              "\"ram\":\"8GLPDDR5\",\"ret_val\":0,\"rom\":\"128GUFS3.0\",\"uuid\":\"1\"}\n");
    EXPECT_EQ(wire.find_first_of(" \t\r"), std::string::npos);
    EXPECT_EQ(wire.find('\n'), wire.size() - 1);
}

TEST(ReplyEncoding, PatternReplaceIsTheGeneralFormOfTheCompaction) {
    const std::string styled = "{\n   \"a\" : \"x\ty\",\r\n   \"b\" : 1\n}\n";
    EXPECT_EQ(strPatternReplace(std::regex(" |\r|\n|\t"), styled, "") + "\n",
              strFixPatternTrim(styled));
    EXPECT_EQ(strPatternReplace(std::regex("[0-9]+"), "a1b22c", "<$&>"), "a<1>b<22>c");
}

}  // namespace
