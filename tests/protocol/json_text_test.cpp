// SPDX-License-Identifier: Apache-2.0
#include "protocol/json_text.h"

#include <gtest/gtest.h>

namespace {

// `inner` inside `depth` arrays.
std::string nested(std::size_t depth, const std::string& inner = "") {
    return std::string(depth, '[') + inner + std::string(depth, ']');
}

// Requests are refused beyond 64 levels or 256 values; brackets and commas inside strings and
// comments do not count, whatever escapes precede them.
TEST(ParseJson, RefusesRequestsDeeperOrLargerThanAnyRealOne) {
    std::string values = "[0";  // with the array itself 256 values, then 257
    for (int i = 1; i < 255; ++i) values += ",0";
    const std::string brackets(200, '[');
    const struct {
        std::string text;
        bool parsed;
    } cases[] = {
        {nested(64, ""), true},
        {nested(65, ""), false},
        {nested(63, "{\"a\":1}"), true},
        {nested(64, "{\"a\":1}"), false},
        {nested(64, "\"" + brackets + "\""), true},
        {nested(64, "\"\\\"" + brackets + "\""), true},
        {"/* " + brackets + " */ " + nested(64, "") + " // " + brackets, true},
        {values + "]", true},
        {values + ",0]", false},
        {"[\"" + std::string(1000, ',') + "\"]", true},
    };
    for (const auto& c : cases) {
        Json::Value root;
        std::string refusal;
        EXPECT_EQ(parseJson(c.text, root, &refusal), c.parsed) << c.text;
        EXPECT_EQ(refusal.empty(), c.parsed) << refusal;
    }
}

// The client's reader: strict JSON within its limits, judged by shape first, every failure
// one line and never an exception.
TEST(ParseStrictJson, TakesStrictJsonWithinItsLimitsAndNeverThrows) {
    const JsonShape limits{8, 16};
    const struct {
        std::string text;
        const char* error;  // empty: parsed
    } cases[] = {
        {nested(8), ""},
        {R"({"a":[1,2],"b":{"c":null}})", ""},
        {nested(9), "nested deeper than 8 levels"},
        {std::string(100000, '['), "nested deeper than 8 levels"},
        {"[" + std::string(16, ',') + "]", "more than 16 values"},
        {R"({"a":1} // comment)", "Line 1, Column 9"},
        {R"({"a":1} x)", "Line 1, Column 9"},
        {R"({"a":1,"a":2})", "Duplicate key"},
        {"\"text\"", "array or an object"},
        {"{\"a\":\n1,}", "Line 2, Column 3"},
    };
    for (const auto& c : cases) {
        Json::Value root(7);
        std::string error;
        const bool parsed = parseStrictJson(c.text, root, error, limits);
        EXPECT_EQ(parsed, *c.error == '\0') << c.text.substr(0, 40) << ": " << error;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.text.substr(0, 40) << ": " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_EQ(root.isNull(), !parsed);
    }
}

}  // namespace
