#include "core/util.h"

#include <gtest/gtest.h>

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

// Requests are refused beyond 64 levels or 256 values; brackets and commas inside strings and
// comments do not count, whatever escapes precede them.
TEST(ParseJson, RefusesRequestsDeeperOrLargerThanAnyRealOne) {
    const auto nested = [](int depth, const std::string& inner) {
        return std::string(static_cast<std::size_t>(depth), '[') + inner +
               std::string(static_cast<std::size_t>(depth), ']');
    };
    const auto list = [](int zeros) {  // zeros + 1 values
        std::string text = "[0";
        for (int i = 1; i < zeros; ++i) text += ",0";
        return text + "]";
    };
    const std::string brackets(200, '[');
    struct Case {
        std::string text;
        bool parsed;
    } const cases[] = {
        {nested(64, ""), true},
        {nested(65, ""), false},
        {nested(63, "{\"a\":1}"), true},
        {nested(64, "{\"a\":1}"), false},
        {nested(64, "\"" + brackets + "\""), true},
        {nested(64, "\"\\\"" + brackets + "\""), true},
        {"/* " + brackets + " */ " + nested(64, "") + " // " + brackets, true},
        {list(255), true},
        {list(256), false},
        {"[\"" + std::string(1000, ',') + "\"]", true},
    };
    for (const Case& c : cases) {
        Json::Value root;
        std::string refusal;
        EXPECT_EQ(parseJson(c.text, root, &refusal), c.parsed) << c.text;
        EXPECT_EQ(refusal.empty(), c.parsed) << refusal;
    }
}

TEST(ReplyEncoding, PatternReplaceIsTheGeneralFormOfTheCompaction) {
    const std::string styled = "{\n   \"a\" : \"x\ty\",\r\n   \"b\" : 1\n}\n";
    EXPECT_EQ(strPatternReplace(std::regex(" |\r|\n|\t"), styled, "") + "\n",
              strFixPatternTrim(styled));
    EXPECT_EQ(strPatternReplace(std::regex("[0-9]+"), "a1b22c", "<$&>"), "a<1>b<22>c");
}

TEST(ParseLeadingInt, BehavesLikeStrtolWithinThirtyTwoBits) {
    struct Case {
        const char* text;
        bool ok;
        int value;
    } const cases[] = {
        {"45000\n", true, 45000}, {"  -5000", true, -5000},
        {"+12abc", true, 12},     {"", false, 0},
        {"abc", false, 0},        {"\n", false, 0},
        {"2147483648", false, 0}, {"-2147483648", true, -2147483647 - 1},
    };
    for (const Case& c : cases) {
        int value = 0;
        EXPECT_EQ(parseLeadingInt(c.text, value), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

}  // namespace
