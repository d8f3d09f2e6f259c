// A simulated board for system tests: the real daemon in tools/board-sandbox, driven over
// a pty through the controller's SerialLink. The board (network namespace, state folder,
// pty) outlives the daemon, so a test can kill and restart the daemon on the same board.
//
// Failures to set the board up or to start the daemon throw std::runtime_error with the
// relevant log text; GoogleTest reports them as test failures.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <csignal>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/unique_fd.h"
#include "ctl/serial_link.h"

namespace qftest {

struct BoardOptions {
    // Files written into the state folder before the board starts (path relative to the
    // state folder, e.g. "sys/kernel/gpu/gpu_model" or "meminfo"); everything not given
    // gets the sandbox's defaults.
    std::map<std::string, std::string> files;
    // Size of the /data tmpfs in bytes; 0 keeps the sandbox's default (112 GiB).
    std::uint64_t dataSize = 0;
    // eth0's MAC address; empty keeps the sandbox's default (02:51:46:00:00:01).
    std::string mac;
    // /dev/ttyMSM0 is missing until plugTty().
    bool ttyLater = false;
    // Stand-ins for programs under /usr: {path in the board, host file}.
    std::vector<std::pair<std::string, std::string>> stubs;
};

// Offsets into the daemon's captured output, to look only at what came later.
struct LogMark {
    std::size_t err = 0;
    std::size_t out = 0;
};

enum class Stream { Err, Out };

class SimulatedBoard {
public:
    using Env = std::map<std::string, std::string>;

    static constexpr const char* kProbe = "Quillferry_Status_Check_5c81e07b94f2";
    // The acknowledgement: 17 characters and a zero byte.
    static constexpr std::string_view kAck{"Quillferry_Ok!!!\n", 18};
    // What the daemon logs for each probe (fence() sends one).
    static constexpr const char* kProbeLog = "[QuillFerry] quillferry status check\n";

    // Whether a board can be started on this machine; `why` explains when not. Cached.
    static bool available(std::string& why);
    static std::string daemonPath();

    // Creates a fresh state folder and a pty and starts the sandbox (without the daemon).
    explicit SimulatedBoard(const BoardOptions& options = {});
    // Kills the daemon and the board and removes the state folder (kept when the
    // environment variable QUILLFERRY_KEEP_BOARD is set, for inspection).
    ~SimulatedBoard();
    SimulatedBoard(const SimulatedBoard&) = delete;
    SimulatedBoard& operator=(const SimulatedBoard&) = delete;

    // --- the daemon --------------------------------------------------------------------
    // Starts the daemon in the board with the caller's environment minus any QUILLFERRY_*
    // variable, plus `env`. Its stdout and stderr are appended to daemon.stdout and
    // daemon.stderr in the state folder. With `waitUntilReady` (and a device present)
    // returns once the daemon answers the probe.
    void startDaemon(const Env& env = {}, bool waitUntilReady = true);
    // Probes until the acknowledgement arrives, drops duplicate acknowledgements and waits
    // for the marker watcher's start-up line.
    bool waitReady(int timeoutMs = 20000);
    // Sends `sig` to the daemon without waiting.
    void signalDaemon(int sig);
    // Sends `sig`, waits for the daemon to end (SIGKILL after 10 s) and returns its wait
    // status. Returns -1 when no daemon runs.
    int stopDaemon(int sig = SIGKILL);
    void restartDaemon(const Env& env = {}, int sig = SIGKILL);
    bool daemonRunning();
    pid_t daemonPid() const { return daemonPid_; }
    // The ends of the logs when the daemon was last started.
    const LogMark& startMark() const { return startMark_; }

    // --- the serial line ---------------------------------------------------------------
    bool send(const std::string& bytes);
    // Sends `line` (a newline is added when missing) and returns the next line received,
    // with its newline; on a timeout whatever arrived (possibly nothing).
    std::string request(const std::string& line, int timeoutMs = 5000);
    std::string readLine(int timeoutMs = 5000);
    std::string readExact(std::size_t count, int timeoutMs = 5000);
    // Sends the probe and returns every byte that arrived before its acknowledgement:
    // empty when nothing sent earlier was answered. Requests are served in order, so
    // after a fence the daemon has finished with (and logged) everything sent before.
    // Throws when no acknowledgement arrives in time.
    std::string fence(int timeoutMs = 5000);
    // Sends `line` and returns everything sent back for it (see fence()).
    std::string exchange(const std::string& line, int timeoutMs = 5000);
    // True when nothing arrives for `ms` milliseconds.
    bool quietFor(int ms);
    SerialLink& link() { return link_; }
    // The host side of the board's /dev/ttyMSM0 (/dev/pts/N).
    const std::string& ttyPath() const { return slavePath_; }
    // Makes the pty appear as /dev/ttyMSM0 in a board started with ttyLater.
    void plugTty();

    // --- logs ----------------------------------------------------------------------------
    std::string log(Stream s = Stream::Err) const;
    LogMark mark() const;
    std::string logSince(const LogMark& m, Stream s = Stream::Err) const;
    // Waits until `needle` appears in the log after `from`.
    bool waitForLog(const std::string& needle, int timeoutMs = 5000, Stream s = Stream::Err,
                    const LogMark& from = {}) const;

    // --- files of the board ----------------------------------------------------------------
    const std::string& stateDir() const { return state_; }
    std::string path(const std::string& rel) const { return state_ + "/" + rel; }
    // Writes in place (truncating), creating folders: the file keeps its inode, as
    // bind-mounted files such as meminfo need.
    void writeFile(const std::string& rel, const std::string& contents) const;
    std::string readFile(const std::string& rel) const;
    bool exists(const std::string& rel) const;
    void removeFile(const std::string& rel) const;

    // --- commands in the board ----------------------------------------------------------
    // Runs `argv` inside the board; stdout and stderr go to `output` when given. Returns the
    // exit status, or 128 + signal number.
    int run(const std::vector<std::string>& argv, std::string* output = nullptr) const;

private:
    void bootSandbox(const BoardOptions& options);
    void teardown();
    std::string describe(const std::string& what) const;

    std::string state_;
    std::string slavePath_;
    UniqueFd slave_;  // held open so the master never reads EIO between daemons
    SerialLink link_;
    bool ttyPresent_ = true;
    LogMark startMark_;  // the logs' ends when the daemon was last started
    pid_t sandboxPid_ = -1;
    pid_t enterPid_ = -1;   // the nsenter process that waits for the daemon
    pid_t daemonPid_ = -1;  // the daemon itself (host pid)
};

// Base fixture: skips the test where no board can be created.
class BoardTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!SimulatedBoard::available(why)) GTEST_SKIP() << why;
    }
    // Boots a board and starts the daemon in it, ready to serve.
    SimulatedBoard& boot(const BoardOptions& options = {}, const SimulatedBoard::Env& env = {}) {
        board_ = std::make_unique<SimulatedBoard>(options);
        board_->startDaemon(env);
        return *board_;
    }

    std::unique_ptr<SimulatedBoard> board_;
};

}  // namespace qftest
