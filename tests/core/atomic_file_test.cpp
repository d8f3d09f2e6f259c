// SPDX-License-Identifier: Apache-2.0
#include "core/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "expect_text.h"
#include "scratch_dir.h"
#include "syscall_faults.h"

namespace {

class BoardFiles : public ScratchDir {
protected:
    bool write(const std::string& name, const char* text, std::optional<mode_t> mode = {}) {
        error_.clear();
        return writeFileAtomic(path(name), text, mode, error_);
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
        EXPECT_HAS(error_, "not a regular file");
        std::string text;
        EXPECT_FALSE(readBoardFile(path(name), 100, text, error_)) << name;
    }
    EXPECT_TRUE(std::filesystem::is_fifo(path("fifo")));
    EXPECT_FALSE(write("missing/file", "x"));
}

// A batch puts what it could stage in place even when another file fails, touches no file
// before its commit (a reader sees the old or the new one whole) and leaves no temporary file
// behind, committed or not.
TEST_F(BoardFiles, BatchCommitsEachFileOnItsOwn) {
    put("a", "old a");
    put("gone", "old gone");
    FileBatch batch;
    EXPECT_TRUE(batch.add(path("a"), "new a", std::nullopt, error_));
    EXPECT_TRUE(batch.add(path("b"), "new b", 0640, error_));
    EXPECT_TRUE(batch.add(path("gone"), "new gone", std::nullopt, error_));
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    EXPECT_FALSE(batch.add(path("fifo"), "x", std::nullopt, error_));
    // Made a folder after it was staged: its rename fails, the others' do not.
    ASSERT_EQ(::unlink(path("gone").c_str()), 0);
    ASSERT_TRUE(std::filesystem::create_directories(path("gone/inside")));
    EXPECT_EQ(contents("a"), "old a");
    std::vector<std::string> errors;
    EXPECT_FALSE(batch.commit(errors));
    EXPECT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors.at(0).rfind(path("gone") + ": ", 0), 0u) << errors.at(0);
    EXPECT_EQ(contents("a"), "new a");
    EXPECT_EQ(contents("b"), "new b");
    EXPECT_EQ(modeOf("b"), 0640u);
    {
        FileBatch dropped;
        EXPECT_TRUE(dropped.add(path("a"), "never", std::nullopt, error_));
    }
    EXPECT_EQ(contents("a"), "new a");
    std::size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
        EXPECT_LACKS(entry.path().filename().string(), "quillferry-new");
        ++entries;
    }
    EXPECT_EQ(entries, 4u);  // a, b, gone/, fifo
}

// Runs `work` on a thread of its own with `fault` staged there. False when the fault cannot
// be staged here (qemu-user), `why` saying so.
bool withFault(SyscallFault fault, const std::function<void()>& work, std::string& why) {
    bool staged = false;
    std::thread([&] {
        staged = failOnThisThread(fault, why);
        if (staged) work();
    }).join();
    return staged;
}

// A rename is on disk only once its folder is: a folder that cannot be flushed (its flush
// fails, or it cannot even be opened for one) fails the write of each file in it, and the
// removal of each file removed from it, though the file is in place or gone.
TEST_F(BoardFiles, FolderThatCannotBeFlushedFailsItsFiles) {
    put("gone", "old");
    for (const SyscallFault fault : {SyscallFault::Fsync, SyscallFault::FolderOpen}) {
        std::vector<std::string> written;  // a batch of two, flushed with syncfs
        std::string single;
        std::vector<std::string> removed;
        std::string why;
        const bool staged = withFault(
            fault,
            [&] {
                FileBatch batch;
                EXPECT_TRUE(batch.add(path("a"), "new a", std::nullopt, error_));
                EXPECT_TRUE(batch.add(path("b"), "new b", std::nullopt, error_));
                EXPECT_FALSE(batch.commit(written));
                if (fault == SyscallFault::FolderOpen) {
                    EXPECT_FALSE(writeFileAtomic(path("c"), "new c", std::nullopt, single));
                }
                EXPECT_FALSE(removeBoardFiles({path("gone"), path("never")}, removed));
            },
            why);
        if (!staged) GTEST_SKIP() << why;
        const std::string folder = ": its folder cannot be flushed: Input/output error";
        EXPECT_EQ(written, (std::vector<std::string>{path("a") + folder, path("b") + folder}));
        if (fault == SyscallFault::FolderOpen) {
            EXPECT_EQ(single, path("c") + folder);
        }
        EXPECT_EQ(removed,
                  (std::vector<std::string>{path("gone") + folder, path("never") + folder}));
        EXPECT_EQ(contents("a"), "new a");
        EXPECT_FALSE(std::filesystem::exists(path("gone")));
    }
    std::vector<std::string> errors;
    put("gone", "again");
    EXPECT_TRUE(removeBoardFiles({path("gone"), path("never")}, errors));
    EXPECT_EQ(errors, std::vector<std::string>());
    EXPECT_FALSE(std::filesystem::exists(path("gone")));
}

}  // namespace
