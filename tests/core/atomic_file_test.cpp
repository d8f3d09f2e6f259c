#include "core/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "scratch_dir.h"

namespace {

using AtomicFile = ScratchDir;

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

TEST_F(AtomicFile, ModeIsGivenOrKeptOrTheDefault) {
    const mode_t mask = ::umask(022);
    ASSERT_TRUE(writeFileAtomic(path("new"), "a"));
    EXPECT_EQ(modeOf(path("new")), 0644u);
    ASSERT_EQ(::chmod(path("new").c_str(), 0600), 0);
    ASSERT_TRUE(writeFileAtomic(path("new"), "bb"));
    EXPECT_EQ(modeOf(path("new")), 0600u);
    ASSERT_TRUE(writeFileAtomic(path("new"), "", 0664));
    EXPECT_EQ(modeOf(path("new")), 0664u);
    EXPECT_EQ(contents("new"), "");
    ::umask(mask);
}

// /etc/resolv.conf is often a link into /run: the target is replaced, the link stays.
TEST_F(AtomicFile, SymlinkIsWrittenThroughToItsTarget) {
    ASSERT_TRUE(std::filesystem::create_directory(path("run")));
    put("run/resolv.conf", "old\n");
    ASSERT_EQ(::symlink("run/resolv.conf", path("resolv.conf").c_str()), 0);
    ASSERT_EQ(::symlink("missing", path("dangling").c_str()), 0);
    ASSERT_TRUE(writeFileAtomic(path("resolv.conf"), "new\n"));
    ASSERT_TRUE(writeFileAtomic(path("dangling"), "made\n"));
    EXPECT_TRUE(std::filesystem::is_symlink(path("resolv.conf")));
    EXPECT_EQ(contents("run/resolv.conf"), "new\n");
    EXPECT_EQ(contents("missing"), "made\n");
}

TEST_F(AtomicFile, FailureLeavesTheOldFileAndNoTemporary) {
    put("target", "old");
    // The temporary name is taken by a non-empty folder, so the new file cannot be made.
    ASSERT_TRUE(std::filesystem::create_directories(path(".target.quillferry-new/x")));
    EXPECT_FALSE(writeFileAtomic(path("target"), "new"));
    EXPECT_EQ(contents("target"), "old");
    EXPECT_FALSE(writeFileAtomic(path("no/such/folder"), "x"));
}

}  // namespace
