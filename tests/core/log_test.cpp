// SPDX-License-Identifier: Apache-2.0
#include "core/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "core/constants.h"

namespace {

// Each message is one line: what could end, break or hide a line, and bytes that are not
// UTF-8, are escaped.
TEST(Log, EveryMessageIsExactlyOneLine) {
    const struct {
        std::string message;
        std::string line;
    } cases[] = {
        {"idc:dc1\n[QuillFerry] fake", "idc:dc1\\n[QuillFerry] fake\n"},
        {"a\tb\rc\x1b[2J\x7f", "a\\tb\\rc\\x1b[2J\\x7f\n"},
        {"c1:\xc2\x85 ls:\xe2\x80\xa8 ps:\xe2\x80\xa9", "c1:\\u0085 ls:\\u2028 ps:\\u2029\n"},
        {"bad:\xff \xc2 \xc0\xaf \xed\xa0\x80", "bad:\\xff \\xc2 \\xc0\\xaf \\xed\\xa0\\x80\n"},
        {"kept: \xc3\xa9 \xc2\xa0 \xe2\x80\xa7 \xf0\x9f\x90\xa7 \\n",
         "kept: \xc3\xa9 \xc2\xa0 \xe2\x80\xa7 \xf0\x9f\x90\xa7 \\n\n"},
        {"", "\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(logText(c.message), c.line) << c.message;
    // A value with a zero byte shows it, rather than ending there.
    EXPECT_EQ(visible(std::string("dc1\0,x=y", 8)), "dc1\\x00,x=y");
}

// Standard error into a pipe while it lives, read without waiting.
class StderrPipe {
public:
    StderrPipe() {
        flushLog(5000);
        int fds[2];
        EXPECT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
        read_ = fds[0];
        saved_ = ::dup(STDERR_FILENO);
        ::dup2(fds[1], STDERR_FILENO);
        ::close(fds[1]);
    }
    ~StderrPipe() {
        flushLog(5000);
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        ::close(read_);
    }
    StderrPipe(const StderrPipe&) = delete;
    StderrPipe& operator=(const StderrPipe&) = delete;

    std::string taken() {
        char buf[4096];
        for (ssize_t n; (n = ::read(read_, buf, sizeof(buf))) > 0;)
            text_.append(buf, static_cast<std::size_t>(n));
        return text_;
    }

private:
    int read_ = -1;
    int saved_ = -1;
    std::string text_;
};

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The loop's lines go out when it is about to wait (or its deferral ends), or at once before
// a reply; other threads' lines by themselves.
TEST(Log, DeferredLinesWaitForTheLoopOrAReply) {
    StderrPipe log;
    logLine("zero");
    for (int i = 0; i < 100 && log.taken().empty(); ++i) sleepMs(10);
    EXPECT_EQ(log.taken(), "zero\n");
    {
        const DeferredLogWakeups deferred;
        logLine("one");
        sleepMs(5 * qf::kLogLingerMs);
        EXPECT_EQ(log.taken(), "zero\n");
        wakeLogWriter();  // the loop goes back to waiting
        for (int i = 0; i < 100 && log.taken().size() < 9; ++i) sleepMs(10);
        EXPECT_EQ(log.taken(), "zero\none\n");
        logLine("two");
        catchUpLog();  // a reply follows
        EXPECT_EQ(log.taken(), "zero\none\ntwo\n");
        logLine("three");
        sleepMs(5 * qf::kLogLingerMs);
        EXPECT_EQ(log.taken(), "zero\none\ntwo\n");
    }
    const std::string all = "zero\none\ntwo\nthree\n";
    for (int i = 0; i < 100 && log.taken().size() < all.size(); ++i) sleepMs(10);
    EXPECT_EQ(log.taken(), all);
}

}  // namespace
