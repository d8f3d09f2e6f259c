// SPDX-License-Identifier: Apache-2.0
// quillferry-ctl's fleet command against three real daemons on simulated boards at once:
// one on a local serial line, one behind ser2net's raw TCP port and one behind its telnet
// port with RFC 2217, all on loopback. Each board's line is a pty of its own that the test
// joins to the board's.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "board.h"
#include "cable.h"
#include "fake_console.h"
#include "raw_pty.h"

extern char** environ;

namespace {

using qftest::Cable;
using qftest::SimulatedBoard;

class CtlFleetSystem : public qftest::BoardTest {
protected:
    void SetUp() override {
        qftest::BoardTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        if (std::system("command -v ser2net >/dev/null && command -v promtool >/dev/null") != 0) {
            if (std::getenv("CI") != nullptr) GTEST_FAIL() << "ser2net or promtool is missing";
            GTEST_SKIP() << "ser2net or promtool is missing (tools/install-deps board)";
        }
        char name[] = "/tmp/quillferry-fleet-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir_ = name;
    }
    void TearDown() override {
        if (ser2net_ > 0) {
            ::kill(ser2net_, SIGTERM);
            ::waitpid(ser2net_, nullptr, 0);
        }
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }

    // ser2net in the foreground on two free ports, raw to `raw` and RFC 2217 to `telnet`;
    // returns once both take connections.
    void startSer2net(const std::string& raw, const std::string& telnet) {
        loopbackSocket(0, &rawPort_);  // free ports: bound a moment, then closed
        loopbackSocket(0, &telnetPort_);
        const std::string config = dir_ + "/ser2net.yaml";
        std::ofstream(config) << "connection: &raw\n  accepter: tcp,127.0.0.1," << rawPort_
                              << "\n  connector: serialdev," << raw << ",115200n81,local\n"
                              << "connection: &telnet\n  accepter: telnet(rfc2217),tcp,127.0.0.1,"
                              << telnetPort_ << "\n  connector: serialdev," << telnet
                              << ",115200n81,local\n";
        const char* argv[] = {"ser2net", "-n", "-d", "-c", config.c_str(), nullptr};
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, (dir_ + "/ser2net.log").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        posix_spawnp(&ser2net_, "ser2net", &fa, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&fa);
        for (int i = 0;
             i < 100 && !(loopbackSocket(rawPort_).valid() && loopbackSocket(telnetPort_).valid());
             ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        settle();
    }
    // ser2net closes a port's device a moment after its client left.
    static void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(300)); }

    // Runs the built quillferry-ctl with `args` (a shell command line) and returns its exit
    // status; what it wrote is in out().
    int ctl(const std::string& args) const {
        const std::string command =
            std::string(QF_CTL_PATH) + " " + args + " >" + dir_ + "/out 2>&1";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string out() const { return qftest::readText(dir_ + "/out"); }

    std::string dir_;
    int rawPort_ = 0;
    int telnetPort_ = 0;
    pid_t ser2net_ = -1;
};

TEST_F(CtlFleetSystem, BoardsOnALocalLineAndBehindSer2netTakeTheirOwnConfiguration) {
    SimulatedBoard local;
    SimulatedBoard raw;
    SimulatedBoard telnet;
    for (SimulatedBoard* b : {&local, &raw, &telnet}) b->startDaemon();
    const Cable localCable(local);
    const Cable rawCable(raw);
    const Cable telnetCable(telnet);
    startSer2net(rawCable.device(), telnetCable.device());

    const auto board = [](const std::string& name, const std::string& line, const char* address,
                          const char* gateway) {
        return R"({"name": ")" + name + R"(", "line": ")" + line +
               R"(", "network": {"address": ")" + address + R"(", "gateway": ")" + gateway +
               R"(", "dns": ["10.0.0.53"], "idc": "dc1", "soc_ip": "10.0.0.8", "pod_id": 1}})";
    };
    const std::string rawLine = "tcp:127.0.0.1:" + std::to_string(rawPort_);
    const std::string telnetLine = "telnet:127.0.0.1:" + std::to_string(telnetPort_);
    const std::string inventory = dir_ + "/inventory.json";
    std::ofstream(inventory) << R"({"boards": [)"
                             << board("local", localCable.device(), "10.0.1.8/24", "10.0.1.1")
                             << ",\n"
                             << board("raw", rawLine, "10.0.2.8/24", "10.0.2.1") << ",\n"
                             << board("telnet", telnetLine, "fd00:3::8/64", "fd00:3::1") << "]}";

    EXPECT_EQ(ctl("--inventory " + inventory + " --format jsonl set-net"), 0) << out();
    EXPECT_NE(out().find("3 boards: 3 ok"), std::string::npos) << out();
    const std::pair<SimulatedBoard*, const char*> applied[] = {{&local, "address 10.0.1.8/24"},
                                                               {&raw, "address 10.0.2.8/24"},
                                                               {&telnet, "address fd00:3::8/64"}};
    for (const auto& [b, line] : applied)
        EXPECT_NE(b->readFile("etc/network/interfaces").find(line), std::string::npos) << line;

    // The metrics as node_exporter's textfile collector takes them.
    settle();
    const std::string metrics = dir_ + "/metrics.prom";
    EXPECT_EQ(
        ctl("--inventory " + inventory + " --format prometheus --output " + metrics + " stat"), 0)
        << out();
    for (const char* name : {"local", "raw", "telnet"}) {
        EXPECT_NE(qftest::readText(metrics).find(std::string("network_configured{board=\"") + name +
                                                 "\",idc=\"dc1\",pod=\"1\"} 1"),
                  std::string::npos)
            << qftest::readText(metrics);
    }
    EXPECT_EQ(std::system(("promtool check metrics <" + metrics).c_str()), 0);

    // Someone else on the console server's port: line busy, as ser2net words it.
    settle();
    const UniqueFd other = loopbackSocket(rawPort_);
    EXPECT_EQ(ctl("--device " + rawLine + " probe"), 75) << out();
    EXPECT_NE(out().find("line busy"), std::string::npos) << out();
}

}  // namespace
