#include "core/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "scratch_dir.h"

namespace {

class BoardFiles : public ScratchDir {
protected:
    bool write(const std::string& name, const char* text, std::optional<mode_t> mode = {}) {
        error_.clear();
        return writeFileAtomic(path(name), text, mode, error_);
    }
    mode_t modeOf(const std::string& name) const {
        struct stat st {};
        EXPECT_EQ(::lstat(path(name).c_str(), &st), 0) << name;
        return st.st_mode & 07777;
    }
    // A symlink made by someone else than root: only root can give it away.
    void plantForeignLink(const std::string& target, const std::string& name) {
        ASSERT_EQ(::symlink(target.c_str(), path(name).c_str()), 0);
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to own a link as another user";
        ASSERT_EQ(::lchown(path(name).c_str(), 1000, 1000), 0);
    }
    std::string error_;
};

TEST_F(BoardFiles, ModeIsGivenOrKeptOrTheDefault) {
    const mode_t mask = ::umask(022);
    ASSERT_TRUE(write("new", "a"));
    EXPECT_EQ(modeOf("new"), 0644u);
    ASSERT_EQ(::chmod(path("new").c_str(), 0600), 0);
    ASSERT_TRUE(write("new", "bb"));
    EXPECT_EQ(modeOf("new"), 0600u);
    ASSERT_TRUE(write("new", "", 0664));
    EXPECT_EQ(modeOf("new"), 0664u);
    EXPECT_EQ(contents("new"), "");
    ::umask(mask);
}

// /etc/resolv.conf is often a link into /run: a link that root made is written through.
TEST_F(BoardFiles, TrustedSymlinksAreFollowed) {
    ASSERT_TRUE(std::filesystem::create_directory(path("run")));
    put("run/resolv.conf", "old\n");
    ASSERT_EQ(::symlink("run/resolv.conf", path("resolv.conf").c_str()), 0);
    ASSERT_EQ(::symlink("run", path("folder").c_str()), 0);
    ASSERT_TRUE(write("resolv.conf", "new\n")) << error_;
    ASSERT_TRUE(write("folder/made", "made\n")) << error_;
    EXPECT_TRUE(std::filesystem::is_symlink(path("resolv.conf")));
    EXPECT_EQ(contents("run/resolv.conf"), "new\n");
    EXPECT_EQ(contents("run/made"), "made\n");
    std::string text;
    EXPECT_TRUE(readBoardFile(path("resolv.conf"), 100, text, error_));
    EXPECT_EQ(text, "new\n");
}

// Only a regular file is read or replaced; nothing else at its place is touched, and reading
// a FIFO does not wait for a writer.
TEST_F(BoardFiles, NothingButRegularFilesIsReadOrReplaced) {
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    ASSERT_TRUE(std::filesystem::create_directories(path("folder/inside")));
    // Never the machine's own devices: a regression here must not replace /dev/null.
    ASSERT_EQ(::symlink(path("fifo").c_str(), path("link").c_str()), 0);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::mknod(path("null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    }
    for (const char* name : {"fifo", "folder", "link", "null"}) {
        if (!root && std::string(name) == "null") continue;
        EXPECT_FALSE(write(name, "x")) << name;
        EXPECT_NE(error_.find("not a regular file"), std::string::npos) << error_;
        std::string text;
        EXPECT_FALSE(readBoardFile(path(name), 100, text, error_)) << name;
    }
    EXPECT_TRUE(std::filesystem::is_fifo(path("fifo")));
    EXPECT_FALSE(write("missing/file", "x"));
}

TEST_F(BoardFiles, ForeignSymlinksAreNotFollowed) {
    put("victim", "precious");
    ASSERT_TRUE(std::filesystem::create_directory(path("elsewhere")));
    plantForeignLink(path("victim"), "file");
    plantForeignLink(path("elsewhere"), "folder");
    if (IsSkipped()) return;
    EXPECT_FALSE(write("file", "x"));
    EXPECT_NE(error_.find("not root"), std::string::npos) << error_;
    EXPECT_FALSE(write("folder/new", "x"));
    EXPECT_EQ(contents("victim"), "precious");
    EXPECT_FALSE(std::filesystem::exists(path("elsewhere/new")));
    std::string text;
    EXPECT_FALSE(readBoardFile(path("file"), 100, text, error_));
    // Removing the file removes the link itself, never what it points to.
    EXPECT_TRUE(removeBoardFile(path("file"), error_));
    EXPECT_EQ(contents("victim"), "precious");
}

TEST_F(BoardFiles, ReplacedNotRewrittenAndFailureLeavesTheOldFile) {
    put("target", "old");
    // A reader that has the old file open keeps reading the old content.
    std::ifstream reader(path("target"));
    ASSERT_TRUE(write("target", "new"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(reader), {}), "old");
    put("target", "old");
    // The temporary name is taken by a non-empty folder, so the new file cannot be made.
    ASSERT_TRUE(std::filesystem::create_directories(path(".target.quillferry-new/x")));
    EXPECT_FALSE(write("target", "new"));
    EXPECT_EQ(contents("target"), "old");
}

}  // namespace
