#include "ipconfig/generate_ip_config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "scratch_dir.h"

namespace {

template <std::size_t N>
std::string bin(const char (&literal)[N]) {
    return std::string(literal, N - 1);
}

std::string render(const GenerateIpConfig& config) {
    const std::vector<unsigned char> record = config.render();
    return std::string(record.begin(), record.end());
}

// Golden records, laid out item by item so that a wrong byte is easy to place.
// clang-format off
std::string head() {  // the first 39 bytes of every generated record
    return bin("\x00\x00\x00\x03" "\x00\x0C" "ipAssignment" "\x00\x06" "STATIC"
               "\x00\x0B" "linkAddress");
}

std::string workedExample() {  // IPv4, nothing given but the identifier: 129 bytes
    return head() + bin(
        "\x00\x0B" "192.168.9.2" "\x00\x00\x00\x18"
        "\x00\x07" "gateway" "\x00\x00\x00\x00" "\x00\x00\x00\x01" "\x00\x0B" "192.168.9.1"
        "\x00\x03" "dns" "\x00\x07" "8.8.8.8" "\x00\x03" "dns" "\x00\x07" "8.8.8.8"
        "\x00\x02" "id" "\x00\x04" "eth0" "\x00\x03" "eos");
}

std::string ipv6Defaults() {  // IPv6, nothing given: only the name servers get defaults
    return head() + bin(
        "\x00\x00" "\x00\x00\x00\x00"
        "\x00\x07" "gateway" "\x00\x00\x00\x00" "\x00\x00\x00\x01" "\x00\x00"
        "\x00\x03" "dns" "\x00\x13" "fdbd:dc00::10:8:8:8"
        "\x00\x03" "dns" "\x00\x13" "fdbd:dc00::10:8:8:9"
        "\x00\x02" "id" "\x00\x04" "eth0" "\x00\x03" "eos");
}
// clang-format on

TEST(GenerateIpConfigRender, WholeRecordsByAddressFamily) {
    EXPECT_EQ(workedExample().size(), 129u);
    EXPECT_EQ(render({"unused", "", "", "", "", "eth0", 0, 0}), workedExample());
    EXPECT_EQ(render({"unused", "", "", "", "", "eth0", 0, 2}), ipv6Defaults());
}

TEST(GenerateIpConfigRender, GivenValuesAndPrefixLengths) {
    struct Case {
        GenerateIpConfig config;
        std::size_t offset;
        std::string expected;
    } const cases[] = {
        // clang-format off
        {{"unused", "10.0.0.5", "", "", "", "eth0", -1, 0}, 39,
         bin("\x00\x08" "10.0.0.5" "\xFF\xFF\xFF\xFF")},
        {{"unused", std::string(300, '1'), "", "", "", "eth0", 0, 0}, 39,
         bin("\x01\x2C" "111")},
        // Only the first name server given: the second still defaults.
        {{"unused", "", "", "1.1.1.1", "", "eth0", 0, 0}, 86,
         bin("\x00\x03" "dns" "\x00\x07" "1.1.1.1" "\x00\x03" "dns" "\x00\x07" "8.8.8.8")},
        // clang-format on
    };
    for (const Case& c : cases) {
        EXPECT_EQ(render(c.config).substr(c.offset, c.expected.size()), c.expected);
    }
}

class GenerateIpConfigFile : public ScratchDir {
protected:
    static void generate(const std::string& path, const std::string& address) {
        GenerateIpConfig(path.c_str(), address, "", "", "", "eth0", 0, 0).GenerateIpConfigFunc();
    }
};

TEST_F(GenerateIpConfigFile, UnwritablePathSaysSoAndLeavesOldContent) {
    put("plain", "old");
    ASSERT_TRUE(std::filesystem::create_directory(path("taken")));
    put("taken/inside", "kept");
    for (const std::string& target : {path("missing/ipconfig_0"), path("plain/x"), path("taken")}) {
        testing::internal::CaptureStderr();
        generate(target, "");
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(log.substr(0, log.find('\n') + 1), "Failed to open " + target + " for writing\n");
    }
    EXPECT_FALSE(std::filesystem::exists(path("missing")));
    EXPECT_EQ(contents("plain"), "old");
    EXPECT_EQ(contents("taken/inside"), "kept");
}

TEST_F(GenerateIpConfigFile, OversizedRecordThrowsBeforeTouchingFile) {
    put("ipconfig_3", "old");
    EXPECT_THROW(generate(path("ipconfig_3"), std::string(4100, 'a')), std::out_of_range);
    EXPECT_EQ(contents("ipconfig_3"), "old");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 1);  // no temp file
}

}  // namespace
