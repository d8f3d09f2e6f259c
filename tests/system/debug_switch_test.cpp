// The debug switch: the marker file /var/tmp/quillferry/openlog.event (created and deleted
// from outside the board while the daemon runs, or present at start) and QUILLFERRY_DEBUG.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "board.h"

namespace qftest {
namespace {

constexpr const char* kMarker = "var/tmp/quillferry/openlog.event";
constexpr const char* kRequest = R"({"cmd":"get_stat","uuid":"dbg"})";

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Sends a request and tells whether the daemon logged it, checking that the reply's echo
// on both streams follows the same switch.
bool logsRequests(SimulatedBoard& board) {
    const LogMark m = board.mark();
    const std::string reply = board.request(kRequest);
    board.fence();
    const std::string err = board.logSince(m);
    const bool logged =
        contains(err, std::string("[QuillFerry] Read From Uart Data:") + kRequest + "\n\n");
    EXPECT_EQ(contains(err, "Do Get Status Data:" + reply + "\n"), logged) << err;
    EXPECT_EQ(contains(board.logSince(m, Stream::Out), "doGetStat res:" + reply + "\n"), logged);
    return logged;
}

// Waits until `needle` is logged after `m` and returns everything logged since.
std::string logUntil(SimulatedBoard& board, const LogMark& m, const std::string& needle) {
    EXPECT_TRUE(board.waitForLog(needle, 5000, Stream::Err, m)) << needle << " in " << board.log();
    return board.logSince(m);
}

using DebugSwitch = BoardTest;

TEST_F(DebugSwitch, MarkerFileSwitchesLoggingWhileRunning) {
    SimulatedBoard& board = boot();
    ASSERT_TRUE(board.waitForLog("start monitor service event\n"));
    EXPECT_TRUE(contains(board.log(), "create dir /var/tmp/quillferry, ret:0\n"));
    EXPECT_FALSE(logsRequests(board));

    LogMark m = board.mark();
    board.writeFile(kMarker, "");
    EXPECT_EQ(logUntil(board, m, "quillferry log\n"),
              "get event: wd: 1, mask:0x100, len:16, name:openlog.event\nenable quillferry log\n");
    EXPECT_TRUE(logsRequests(board));

    // Other names, and writing to the existing marker, only show up as events (or not at
    // all); the switch stays as it is.
    m = board.mark();
    board.writeFile(kMarker, "still here");
    board.writeFile("var/tmp/quillferry/other", "");
    board.removeFile("var/tmp/quillferry/other");
    EXPECT_EQ(logUntil(board, m, "name:other\n").find("openlog.event"), std::string::npos);
    EXPECT_FALSE(contains(board.logSince(m), "able quillferry log"));
    EXPECT_TRUE(logsRequests(board));

    m = board.mark();
    board.removeFile(kMarker);
    EXPECT_EQ(logUntil(board, m, "quillferry log\n"),
              "get event: wd: 1, mask:0x200, len:16, name:openlog.event\ndisable quillferry log\n");
    EXPECT_FALSE(logsRequests(board));

    // A folder of that name counts as the marker as well.
    m = board.mark();
    ASSERT_EQ(::mkdir(board.path(kMarker).c_str(), 0755), 0);
    EXPECT_TRUE(contains(logUntil(board, m, "quillferry log\n"), "enable quillferry log\n"));
    EXPECT_TRUE(logsRequests(board));
    m = board.mark();
    ASSERT_EQ(::rmdir(board.path(kMarker).c_str()), 0);
    EXPECT_TRUE(contains(logUntil(board, m, "quillferry log\n"), "disable quillferry log\n"));
    EXPECT_FALSE(logsRequests(board));
}

TEST_F(DebugSwitch, MarkerPresentAtStartSwitchesLoggingOn) {
    board_ = std::make_unique<SimulatedBoard>();
    board_->writeFile(kMarker, "");
    board_->startDaemon();
    EXPECT_TRUE(logsRequests(*board_));
    EXPECT_FALSE(contains(board_->log(), "get event"));
    EXPECT_FALSE(contains(board_->log(), "create dir"));
}

TEST_F(DebugSwitch, EnvironmentVariableSwitchesLoggingOnWhenItStartsWithTrue) {
    board_ = std::make_unique<SimulatedBoard>();
    SimulatedBoard& board = *board_;
    const struct {
        const char* value;
        bool on;
    } cases[] = {{"true", true}, {"trueish", true}, {"TRUE", false}, {"tru", false},
                 {"", false},    {"1", false},      {" true", false}};
    for (const auto& c : cases) {
        board.stopDaemon();
        board.startDaemon({{"QUILLFERRY_DEBUG", c.value}});
        EXPECT_EQ(logsRequests(board), c.on) << '"' << c.value << '"';
    }

    // With the variable on, deleting the marker does not switch logging off.
    board.restartDaemon({{"QUILLFERRY_DEBUG", "true"}});
    ASSERT_TRUE(
        board.waitForLog("start monitor service event\n", 5000, Stream::Err, board.startMark()));
    LogMark m = board.mark();
    board.writeFile(kMarker, "");
    logUntil(board, m, "quillferry log\n");
    m = board.mark();
    board.removeFile(kMarker);
    EXPECT_TRUE(contains(logUntil(board, m, "quillferry log\n"), "disable quillferry log\n"));
    EXPECT_TRUE(logsRequests(board));
}

}  // namespace
}  // namespace qftest
