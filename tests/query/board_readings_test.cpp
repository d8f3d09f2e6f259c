#include "query/board_readings.h"

#include <gtest/gtest.h>

#include "query/if_probes.h"
#include "scratch_dir.h"

namespace {

using Readings = ScratchDir;

TEST_F(Readings, HottestZoneSkipsUnreadableOnes) {
    struct Case {
        std::vector<const char*> zones;  // nullptr: file missing
        int hottest;
        std::size_t errorLines;
    } const cases[] = {
        {{"41000\n", "52500\n", "47000\n", nullptr, nullptr}, 52500, 2},
        {{nullptr, nullptr}, 0, 2},
        {{"-5000\n", "-7000\n"}, -5000, 0},
        {{"abc\n", "12\n", "\n"}, 12, 2},
    };
    for (const Case& c : cases) {
        std::vector<std::string> files;
        for (std::size_t i = 0; i < c.zones.size(); ++i)
            files.push_back(put("zone" + std::to_string(i), c.zones[i]));
        testing::internal::CaptureStderr();
        InfoFileCache cache;
        EXPECT_EQ(getCpuTemp(cache, files), c.hottest);
        const std::string log = testing::internal::GetCapturedStderr();
        std::size_t lines = 0;
        for (auto at = log.find("get temp error: "); at != std::string::npos;
             at = log.find("get temp error: ", at + 1)) {
            ++lines;
        }
        EXPECT_EQ(lines, c.errorLines) << log;
        for (const std::string& f : files) std::remove(f.c_str());
    }
}

TEST_F(Readings, PowerLimitOnlyAtExactTopFrequencies) {
    struct Case {
        const char* cpu0;
        const char* cpu4;
        const char* cpu7;
        int limit;
    } const cases[] = {
        {"1804800\n", "2419200\n", "2841600\n", 100}, {"1804799\n", "2419200\n", "2841600\n", 0},
        {"1804800\n", "2419201\n", "2841600\n", 0},   {"1804800\n", "2419200\n", nullptr, 0},
        {"1804800\n", "x\n", "2841600\n", 0},
    };
    for (const Case& c : cases) {
        InfoFileCache cache;
        EXPECT_EQ(getCpuPwrLmt(cache, put("c0", c.cpu0).c_str(), put("c4", c.cpu4).c_str(),
                               put("c7", c.cpu7).c_str()),
                  c.limit);
        for (const char* name : {"/c0", "/c4", "/c7"}) std::remove((dir_ + name).c_str());
    }
}

// Files stay open between reads, but a reading must never be stale.
TEST_F(Readings, CachedFilesFollowRewritesRemovalsAndReplacements) {
    InfoFileCache cache;
    const std::string zone = put("temp", "41000\n");
    EXPECT_EQ(cache.read(zone), "41000\n");
    put("temp", "52500\n");  // rewritten in place, as sysfs values change
    EXPECT_EQ(cache.read(zone), "52500\n");
    put("new", "7\n");
    ASSERT_EQ(std::rename(path("new").c_str(), zone.c_str()), 0);
    EXPECT_EQ(cache.read(zone), "7\n");
    ASSERT_EQ(std::remove(zone.c_str()), 0);
    EXPECT_EQ(cache.read(zone), "");
    put("temp", "8\n");
    EXPECT_EQ(cache.read(zone), "8\n");
    EXPECT_EQ(cache.read(put("long", std::string(300, 'x').c_str())), std::string(256, 'x'));
}

TEST(SizeSteps, RoundUpToTheBoardsSizes) {
    const std::pair<int, int> steps[] = {{-3, 4},   {0, 4},   {3, 4},     {4, 8},     {7, 8},
                                         {8, 12},   {11, 12}, {12, 16},   {15, 16},   {16, 32},
                                         {31, 32},  {32, 64}, {127, 128}, {128, 256}, {1023, 1024},
                                         {1024, 0}, {5000, 0}};
    for (const auto& [gib, step] : steps) EXPECT_EQ(alignToUpper(gib), step) << gib;

    EXPECT_EQ(ramSizeText(7612345), "8G LPDDR5");
    EXPECT_EQ(ramSizeText(15728640), "16G LPDDR5");
    EXPECT_EQ(ramSizeText(0), "4G LPDDR5");
    EXPECT_EQ(romSizeText(29360128ULL * 4096), "128G UFS3.0");
}

TEST(InterfaceProbeConversions, PrefixIsTheLeadingRunOfOnes) {
    const std::pair<std::uint32_t, int> masks[] = {
        {0xFFFFFF00U, 24}, {0xFFFFFFFFU, 32}, {0, 0},
        {0xFF00FF00U, 8},  {0x80000000U, 1},  {0x7FFFFFFFU, 0}};
    for (const auto& [mask, prefix] : masks)
        EXPECT_EQ(prefixLengthOfMask(mask), prefix) << std::hex << mask;

    const unsigned char mac[] = {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0xFF};
    EXPECT_EQ(macAddressText(mac), "0a:1b:2c:3d:4e:ff");
}

}  // namespace
