// SPDX-License-Identifier: Apache-2.0
#include "ipconfig/generate_ip_config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "captured_log.h"
#include "golden.h"
#include "scratch_dir.h"

namespace {

// Records with given values, IPv4 and IPv6, are checked on the board; here the defaults.
TEST(GenerateIpConfigRender, DefaultsByAddressFamilyAndValuesAsGiven) {
    const std::string v4 = "192.168.9.2";
    const std::string gateway = "192.168.9.1";
    const std::string longText(300, '1');
    const struct {
        GenerateIpConfig config;
        std::string record;
    } cases[] = {
        {{"unused", "", "", "", "", "eth0", 0, 0},
         golden::ipConfig(v4, 24, gateway, "8.8.8.8", "8.8.8.8")},
        // IPv6 has defaults only for the name servers.
        {{"unused", "", "", "", "", "eth0", 0, 2},
         golden::ipConfig("", 0, "", "fdbd:dc00::10:8:8:8", "fdbd:dc00::10:8:8:9")},
        // Only 0 stands for a missing prefix length; the second name server still defaults.
        {{"unused", "10.0.0.5", "", "1.1.1.1", "", "eth0", -1, 0},
         golden::ipConfig("10.0.0.5", 0xFFFFFFFFu, gateway, "1.1.1.1", "8.8.8.8")},
        {{"unused", longText, "", "", "", "eth0", 0, 0},
         golden::ipConfig(longText, 24, gateway, "8.8.8.8", "8.8.8.8")},
    };
    EXPECT_EQ(cases[0].record.size(), 129u);
    for (const auto& c : cases) {
        const std::vector<unsigned char> record = c.config.render();
        EXPECT_EQ(std::string(record.begin(), record.end()), c.record);
    }
}

using GenerateIpConfigFile = ScratchDir;

TEST_F(GenerateIpConfigFile, FailureSaysSoAndLeavesTheOldFile) {
    put("ipconfig_3", "old");
    const auto generate = [](const std::string& path, const std::string& address) {
        return GenerateIpConfig(path.c_str(), address, "", "", "", "eth0", 0, 0)
            .GenerateIpConfigFunc();
    };
    // An oversized record throws before the file is touched: no temporary file is left.
    EXPECT_THROW(generate(path("ipconfig_3"), std::string(4100, 'a')), std::out_of_range);
    EXPECT_EQ(contents("ipconfig_3"), "old");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 1);

    ASSERT_TRUE(std::filesystem::create_directory(path("taken")));
    captureLog();
    EXPECT_FALSE(generate(path("taken"), ""));
    const std::string log = capturedLog();
    EXPECT_EQ(log.substr(0, log.find('\n') + 1),
              "Failed to open " + path("taken") + " for writing\n");
    EXPECT_TRUE(std::filesystem::is_directory(path("taken")));
}

}  // namespace
