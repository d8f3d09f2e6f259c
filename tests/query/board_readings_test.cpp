#include "query/board_readings.h"

#include <gtest/gtest.h>

#include "query/if_probes.h"
#include "scratch_dir.h"

namespace {

using Readings = ScratchDir;

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
