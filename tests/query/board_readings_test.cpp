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

// A netmask with a hole counts only its leading run of ones.
TEST(InterfaceProbeConversions, PrefixIsTheLeadingRunOfOnes) {
    const std::pair<std::uint32_t, int> masks[] = {
        {0xFFFFFF00U, 24}, {0xFFFFFFFFU, 32}, {0, 0},
        {0xFF00FF00U, 8},  {0x80000000U, 1},  {0x7FFFFFFFU, 0}};
    for (const auto& [mask, prefix] : masks)
        EXPECT_EQ(prefixLengthOfMask(mask), prefix) << std::hex << mask;
}

}  // namespace
