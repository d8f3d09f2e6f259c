// SPDX-License-Identifier: Apache-2.0
#include "core/json_text.h"

#include <gtest/gtest.h>

namespace {

// Requests are refused beyond 64 levels or 256 values; brackets and commas inside strings and
// comments do not count, whatever escapes precede them.
TEST(ParseJson, RefusesRequestsDeeperOrLargerThanAnyRealOne) {
    const auto nested = [](int depth, const std::string& inner) {
        return std::string(static_cast<std::size_t>(depth), '[') + inner +
               std::string(static_cast<std::size_t>(depth), ']');
    };
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

}  // namespace
