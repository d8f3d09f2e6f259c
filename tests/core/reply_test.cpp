// SPDX-License-Identifier: Apache-2.0
#include "core/reply.h"

#include <gtest/gtest.h>

#include "protocol/json_text.h"

namespace {

// A missing uuid and one with spaces are checked over the wire; here the other types.
TEST(ReplyEncoding, EnvelopeEchoesUuidOfAnyTypeCompacted) {
    const struct {
        const char* request;
        const char* wire;
    } cases[] = {
        {R"({"cmd":"get_stat","uuid":17})", "{\"cmd\":\"get_stat\",\"ret_val\":0,\"uuid\":17}\n"},
        {R"({"cmd":"get_stat","uuid":{"b":[1, 2],"a":"x y"}})",
         "{\"cmd\":\"get_stat\",\"ret_val\":0,\"uuid\":{\"a\":\"xy\",\"b\":[1,2]}}\n"},
        // Control characters inside values are already escaped, so they survive.
        {"{\"cmd\":\"get_stat\",\"uuid\":\"a\\tb\\r\\nc\"}",
         "{\"cmd\":\"get_stat\",\"ret_val\":0,\"uuid\":\"a\\tb\\r\\nc\"}\n"},
    };
    for (const auto& c : cases) {
        Json::Value request;
        ASSERT_TRUE(parseJson(c.request, request)) << c.request;
        EXPECT_EQ(encodeReply(replyEnvelope(request, 0)), c.wire) << c.request;
    }
    // The compaction drops every space, tab, carriage return and newline, wherever it stands.
    EXPECT_EQ(strFixPatternTrim("{\n \"a\" :\t\"x y\",\r\n}\n"), "{\"a\":\"xy\",}\n");
}

}  // namespace
