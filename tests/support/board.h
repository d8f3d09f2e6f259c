// SPDX-License-Identifier: Apache-2.0
// A simulated board for system tests: the real daemon in tools/board-sandbox, driven over a
// pty through qfclient::SerialLink. The board outlives the daemon, which a test can kill and
// restart. Failures to set up the board or to start the daemon throw std::runtime_error.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "client/serial_link.h"
#include "core/constants.h"
#include "core/unique_fd.h"
#include "golden.h"
#include "spawned.h"

namespace qftest {

// Stand-in for ifdown and ifup: logs its arguments and its parent program to `log`, then runs
// what the file `faults`<its name> says, if there is one. The simulated board's paths by default.
inline std::string interfaceStub(const std::string& log = "/var/log/ifcmd.log",
                                 const std::string& faults = "/var/tmp/fault.") {
    return "#!/bin/sh\necho \"${0##*/} $* parent=$(readlink /proc/$PPID/exe)\" >>\"" + log +
           "\"\n[ -f \"" + faults + "${0##*/}\" ] && . \"" + faults + "${0##*/}\"\nexit 0\n";
}

// "set_net_conf"'s reply line.
inline std::string setReply(const std::string& uuid, int retVal = 0) {
    return R"({"cmd":"set_net_conf","ret_val":)" + std::to_string(retVal) + R"(,"uuid":")" + uuid +
           "\"}\n";
}

struct BoardOptions {
    std::string mac;        // eth0's MAC address; empty: the sandbox's 02:51:46:00:00:01
    bool ttyLater = false;  // /dev/ttyMSM0 is missing until plugTty()
    std::vector<std::pair<std::string, std::string>> stubs;  // {path in the board, script}

    static BoardOptions withInterfaceStubs() {
        BoardOptions o;
        o.stubs = {{"/usr/sbin/ifdown", interfaceStub()}, {"/usr/sbin/ifup", interfaceStub()}};
        return o;
    }
};

// The bytes of a file (of this machine), empty when it cannot be read.
std::string readText(const std::string& path);
// The lines of `text`, each with its newline.
std::vector<std::string> lines(const std::string& text);

struct LogMark {  // offsets into the daemon's output, to look only at what came later
    std::size_t err = 0;
    std::size_t out = 0;
};

enum class Stream { Err, Out };

class SimulatedBoard {
public:
    using Env = std::map<std::string, std::string>;

    static bool available(std::string& why);

    explicit SimulatedBoard(const BoardOptions& options = {});
    // Removes the state folder unless QUILLFERRY_KEEP_BOARD is set.
    ~SimulatedBoard() { teardown(); }

    // Starts the daemon with the caller's environment minus QUILLFERRY_* plus `env`, through
    // `launcher` (a command of the board, the daemon's path appended) if given; with
    // `waitUntilReady` returns once it answers the probe.
    void startDaemon(const Env& env = {}, bool waitUntilReady = true,
                     const std::vector<std::string>& launcher = {});
    void stopDaemon();  // kills it (SIGKILL) and waits for its end
    void signalDaemon(int sig) const;
    // Waits for the daemon's end: its exit status (128 + signal), or -1 if it still runs.
    int waitForExit(int timeoutMs);
    void restartDaemon(const Env& env = {}) {
        stopDaemon();
        startDaemon(env);
    }
    pid_t daemonPid() const { return daemonPid_; }

    bool send(const std::string& bytes) {
        return link_.send(bytes) == qfclient::SerialLink::Status::Ok;
    }
    // Sends `line` (newline added) and returns the next line received (or what arrived).
    std::string request(const std::string& line, int timeoutMs = 5000) {
        std::string reply;
        if (send(line + "\n")) link_.readLine(reply, timeoutMs);
        return reply;
    }
    // Every byte that arrived before the reply to a "get_stat" of its own: requests but the
    // probe are served in order, so all sent before is done and logged. Throws without reply.
    std::string fence(int timeoutMs = 5000);
    // Sends `line` (newline added) and returns everything sent back for it.
    std::string exchange(const std::string& line, int timeoutMs = 5000) {
        return send(line + "\n") ? fence(timeoutMs) : "";
    }
    qfclient::SerialLink& link() { return link_; }
    // Makes the pty appear as /dev/ttyMSM0 (ttyLater) and waits until the daemon answers.
    void plugTty();

    std::string log(Stream s = Stream::Err) const { return logSince({}, s); }
    LogMark mark() const { return {log(Stream::Err).size(), log(Stream::Out).size()}; }
    std::string logSince(const LogMark& m, Stream s = Stream::Err) const;
    bool waitForLog(const std::string& needle, int timeoutMs = 5000, Stream s = Stream::Err,
                    const LogMark& from = {}) const;

    // Files of the board, relative to the state folder ("opt/.cmd.txt").
    std::string path(const std::string& rel) const { return state_ + "/" + rel; }
    // Writes `contents` in place (bind-mounted files keep their inode), or removes the file.
    void putFile(const std::string& rel, const char* contents) const;
    std::string readFile(const std::string& rel) const { return readText(path(rel)); }
    // Runs `argv` inside the board as its root; returns the exit status (128 + signal).
    int run(const std::vector<std::string>& argv, std::string* output = nullptr) const;
    // Runs a shell script inside the board as its root; its output. Failing fails the test.
    std::string inBoard(const std::string& script) const {
        std::string out;
        EXPECT_EQ(run({"sh", "-c", script}, &out), 0) << script << ": " << out;
        return out;
    }
    // The named files' contents, read inside the board (only its root enters the container
    // folder); a missing one is absent.
    std::map<std::string, std::string> files(const std::vector<std::string>& names) const;
    // Each of the files holds its content.
    void expectFiles(const std::map<std::string, std::string>& expected,
                     const std::string& why = "") const {
        std::vector<std::string> names;
        for (const auto& entry : expected) names.push_back(entry.first);
        const auto got = files(names);
        for (const auto& [name, content] : expected) {
            const auto it = got.find(name);
            EXPECT_EQ(it == got.end() ? "(missing)" : it->second, content) << why << ": " << name;
        }
    }

private:
    bool daemonRunning();
    // Until the daemon answers the probe; `logged`: once its log says it opened the device.
    bool waitReady(bool logged, int timeoutMs = 20000);
    void teardown();
    std::string describe(const std::string& what) const;

    std::string state_;
    std::string slavePath_;
    UniqueFd slave_;  // held open so the master never reads EIO between daemons
    qfclient::SerialLink link_;
    LogMark startMark_;  // the logs' ends when the daemon was last started
    pid_t sandboxPid_ = -1;
    pid_t enterPid_ = -1;   // the nsenter process that waits for the daemon
    pid_t daemonPid_ = -1;  // the daemon itself (host pid)
};

// Skips the test where no board can be created (but fails it where CI is set).
class BoardTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        QF_REQUIRE(SimulatedBoard::available(why) ? "" : why);
    }
    SimulatedBoard& boot(const BoardOptions& options = {}, const SimulatedBoard::Env& env = {}) {
        board_ = std::make_unique<SimulatedBoard>(options);
        board_->startDaemon(env);
        return *board_;
    }

    std::unique_ptr<SimulatedBoard> board_;
};

}  // namespace qftest
