// SPDX-License-Identifier: Apache-2.0
#include "query/if_probes.h"

#include <gtest/gtest.h>

namespace {

// A netmask with a hole counts only its leading run of ones. (The cached status files are
// checked on the board, which rewrites, removes and recreates them between queries.)
TEST(InterfaceProbeConversions, PrefixIsTheLeadingRunOfOnes) {
    const std::pair<std::uint32_t, int> masks[] = {
        {0xFFFFFF00U, 24}, {0xFFFFFFFFU, 32}, {0, 0},
        {0xFF00FF00U, 8},  {0x80000000U, 1},  {0x7FFFFFFFU, 0}};
    for (const auto& [mask, prefix] : masks)
        EXPECT_EQ(prefixLengthOfMask(mask), prefix) << std::hex << mask;
}

}  // namespace
