// SPDX-License-Identifier: Apache-2.0
#include "core/system_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "scratch_dir.h"

namespace {

using SystemFiles = ScratchDir;

// The status files stay open between requests: a value written in place is read afresh, a
// file renamed over or removed is opened afresh at once, and one that cannot be opened is
// looked for again only once the retry time has passed, not on every request.
TEST_F(SystemFiles, StatusFileCacheRereadsAndLooksForMissingOnesAfterAWhile) {
    constexpr int kRetryMs = 200;
    InfoFileCache files(kRetryMs);
    const std::string a = put("a", "1\n");
    EXPECT_EQ(files.read(a), "1\n");
    put("a", "22\n");
    EXPECT_EQ(files.read(a), "22\n");
    ASSERT_EQ(std::rename(put("b", "3\n").c_str(), a.c_str()), 0);
    EXPECT_EQ(files.read(a), "3\n");
    ASSERT_EQ(std::remove(a.c_str()), 0);
    EXPECT_EQ(files.read(a), "");
    put("a", "4\n");
    EXPECT_EQ(files.read(a), "");
    std::this_thread::sleep_for(std::chrono::milliseconds(kRetryMs + 50));
    EXPECT_EQ(files.read(a), "4\n");
}

}  // namespace
