// SPDX-License-Identifier: Apache-2.0
#include "quillferry/request.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

TEST(ClientRequest, FreshUuidsAreRandomVersionFour) {
    const std::regex v4("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    const std::string first = qfclient::newUuid();
    EXPECT_TRUE(std::regex_match(first, v4)) << first;
    EXPECT_NE(qfclient::newUuid(), first);
}

}  // namespace

namespace {

// A line to send is matched by the uuid it carries; one the board drops unread (too deep,
// too many values) is refused before anything is sent, without the reader throwing.
TEST(ClientRequest, LineToSendIsJudgedByItsShapeFirst) {
    std::string values = "[0";  // 256 values with the array, then 257
    for (int i = 1; i < 255; ++i) values += ",0";
    const struct {
        std::string text;
        bool sent;
        const char* uuid;  // the uuid matched, as JSON; empty: none (not a JSON object)
    } cases[] = {
        {R"({"cmd":"get_stat","uuid":"a"})", true, "\"a\""},
        {R"({"cmd":"get_stat"})", true, "null"},
        {"hello", true, ""},
        {"[1]", true, ""},
        {R"({"uuid":"a"} // comment)", true, ""},
        {values + "]", true, ""},
        {values + ",0]", false, ""},
        {std::string(65, '[') + std::string(65, ']'), false, ""},
        {std::string(100000, '['), false, ""},
        {"{\"uuid\":\"a\",\"x\":" + std::string(64, '['), false, ""},
    };
    for (const auto& c : cases) {
        qfclient::Call call;
        std::string error;
        EXPECT_EQ(qfclient::lineCall(c.text, call, error), c.sent) << c.text.substr(0, 40);
        if (!c.sent) {
            EXPECT_NE(error.find("the board drops such a line"), std::string::npos) << error;
            continue;
        }
        EXPECT_EQ(call.line, c.text + "\n");
        EXPECT_EQ(call.uuid ? qfclient::compactJson(*call.uuid) : "", c.uuid) << c.text;
    }
}

}  // namespace
