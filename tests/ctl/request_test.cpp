#include "ctl/request.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

TEST(CtlRequest, UuidTextSetsVersionAndVariantBits) {
    std::array<std::uint8_t, 16> counting{};
    for (std::size_t i = 0; i < counting.size(); ++i) counting[i] = static_cast<std::uint8_t>(i);
    std::array<std::uint8_t, 16> ones{};
    ones.fill(0xff);
    EXPECT_EQ(ctl::formatUuidV4(counting), "00010203-0405-4607-8809-0a0b0c0d0e0f");
    EXPECT_EQ(ctl::formatUuidV4(ones), "ffffffff-ffff-4fff-bfff-ffffffffffff");
}

TEST(CtlRequest, FreshUuidsAreRandomVersionFour) {
    const std::regex v4("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    const std::string first = ctl::newUuid();
    const std::string second = ctl::newUuid();
    EXPECT_TRUE(std::regex_match(first, v4)) << first;
    EXPECT_TRUE(std::regex_match(second, v4)) << second;
    EXPECT_NE(first, second);
}

TEST(CtlRequest, LinesAreCompactJsonWithOneNewline) {
    struct Case {
        Json::Value request;
        const char* line;
    } const cases[] = {
        {ctl::statRequest("u-1"), "{\"cmd\":\"get_stat\",\"uuid\":\"u-1\"}\n"},
        {ctl::hwConfRequest(""), "{\"cmd\":\"get_hardware_conf\",\"uuid\":\"\"}\n"},
        // Spaces inside values stay; quotes and control characters are escaped.
        {ctl::statRequest("a \"b\"\t"), "{\"cmd\":\"get_stat\",\"uuid\":\"a \\\"b\\\"\\t\"}\n"},
        {ctl::queryRequest("get_net_conf", "9"), "{\"cmd\":\"get_net_conf\",\"uuid\":\"9\"}\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(ctl::requestLine(c.request), c.line);
    EXPECT_EQ(ctl::probeLine(), "Quillferry_Status_Check_5c81e07b94f2\n");
    EXPECT_EQ(ctl::probeAck(), std::string("Quillferry_Ok!!!\n\0", 18));
}

}  // namespace
