#include "ipconfig/generate_ip_config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/atomic_file.h"
#include "ipconfig/binary_writer.h"
#include "ipconfig/ip_config_builder.h"

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
        {{"unused", "fd00::5", "", "", "", "eth0", 64, 1}, 39,
         bin("\x00\x07" "fd00::5" "\x00\x00\x00\x40")},
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

TEST(IpConfigBuilder, ListsAssignmentsAndWriterPosition) {
    IpConfigBuilder builder;
    builder.set_version(3);
    builder.set_assignment(IpConfigBuilder::DHCP);
    builder.set_dns1_servers({"x", "y"});

    // A little-endian writer two bytes in: the record is still big-endian and the result
    // counts from the writer's start.
    std::vector<unsigned char> buffer(128, 0);
    BinaryWriter writer(buffer.begin(), buffer.end());
    writer.set_byte_order(BinaryWriter::LittleEndian);
    writer.write_uint16(0x0102);
    const std::int64_t length = builder.write(writer);
    const std::string record(buffer.begin(), buffer.begin() + length);
    EXPECT_EQ(record.substr(0, 6), bin("\x02\x01\x00\x00\x00\x03"));
    // clang-format off
    EXPECT_EQ(record.substr(20, 6), bin("\x00\x04" "DHCP"));
    EXPECT_EQ(record.substr(record.size() - 27),
              bin("\x00\x03" "dns" "\x00\x01" "x" "\x00\x01" "y" "\x00\x03" "dns"
                  "\x00\x02" "id" "\x00\x00" "\x00\x03" "eos"));
    // clang-format on

    builder.set_assignment(static_cast<IpConfigBuilder::Assignment>(7));
    BinaryWriter second(buffer.begin(), buffer.end());
    builder.write(second);
    EXPECT_EQ(std::string(buffer.begin() + 18, buffer.begin() + 27), bin("\x00\x07UNKNOWN"));
}

class GenerateIpConfigFile : public testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/quillferry-ipconfig-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    static std::string contents(const std::string& path) {
        std::string out;
        EXPECT_TRUE(readFileCapped(path, 1 << 16, out)) << path;
        return out;
    }
    static void generate(const std::string& path, const std::string& address) {
        GenerateIpConfig(path.c_str(), address, "", "", "", "eth0", 0, 0).GenerateIpConfigFunc();
    }

    std::string dir;
};

TEST_F(GenerateIpConfigFile, RegenerationReplacesWholeFileAndKeepsMode) {
    const std::string path = dir + "/ipconfig_1";
    generate(path, std::string(300, '9'));
    EXPECT_EQ(contents(path).size(), 418u);
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    generate(path, "");
    EXPECT_EQ(contents(path), workedExample());
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(GenerateIpConfigFile, UnwritablePathSaysSoAndLeavesOldContent) {
    const std::string plainFile = dir + "/plain";
    const std::string takenDir = dir + "/taken";
    ASSERT_TRUE(writeFileAtomic(plainFile, "old"));
    ASSERT_TRUE(std::filesystem::create_directory(takenDir));
    ASSERT_TRUE(writeFileAtomic(takenDir + "/inside", "kept"));
    for (const std::string& path : {dir + "/missing/ipconfig_0", plainFile + "/x", takenDir}) {
        testing::internal::CaptureStderr();
        generate(path, "");
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Failed to open " + path + " for writing");
    }
    EXPECT_FALSE(std::filesystem::exists(dir + "/missing"));
    EXPECT_EQ(contents(plainFile), "old");
    EXPECT_EQ(contents(takenDir + "/inside"), "kept");
}

TEST_F(GenerateIpConfigFile, OversizedRecordThrowsBeforeTouchingFile) {
    const std::string path = dir + "/ipconfig_3";
    ASSERT_TRUE(writeFileAtomic(path, "old"));
    EXPECT_THROW(generate(path, std::string(4100, 'a')), std::out_of_range);
    EXPECT_EQ(contents(path), "old");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);  // no temp file
}

}  // namespace
