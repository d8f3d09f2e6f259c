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
    ASSERT_EQ(::symlink(path("fifo").c_str(), path("link").c_str()), 0);
    // Never the machine's own devices: a regression here must not replace /dev/null.
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::mknod(path("null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    }
    for (const char* name : {"fifo", "folder", "link", root ? "null" : "fifo"}) {
        EXPECT_FALSE(write(name, "x")) << name;
        EXPECT_NE(error_.find("not a regular file"), std::string::npos) << error_;
        std::string text;
        EXPECT_FALSE(readBoardFile(path(name), 100, text, error_)) << name;
    }
    EXPECT_TRUE(std::filesystem::is_fifo(path("fifo")));
    EXPECT_FALSE(write("missing/file", "x"));
}

// A reader that has the old file open keeps reading the old content.
TEST_F(BoardFiles, ReplacedNotRewritten) {
    std::ifstream reader(put("target", "old"));
    ASSERT_TRUE(write("target", "new"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(reader), {}), "old");
    EXPECT_EQ(contents("target"), "new");
}

}  // namespace
