// SPDX-License-Identifier: Apache-2.0
// quillferry-ctl's fleet command against three real daemons on simulated boards at once:
// one on a local serial line, one behind ser2net's raw TCP port and one behind its telnet
// port with RFC 2217, all on loopback. Each board's line is a pty of its own that the test
// joins to the board's.
#include <sys/wait.h>

#include <filesystem>
#include <fstream>

#include "board.h"
#include "cable.h"
#include "fake_console.h"
#include "ser2net.h"

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
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }

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
};

TEST_F(CtlFleetSystem, BoardsOnALocalLineAndBehindSer2netTakeTheirOwnConfiguration) {
    SimulatedBoard local;
    SimulatedBoard raw;
    SimulatedBoard telnet;
    for (SimulatedBoard* b : {&local, &raw, &telnet}) b->startDaemon();
    const Cable localCable(local);
    const Cable rawCable(raw);
    const Cable telnetCable(telnet);
    const Ser2net ser2net(dir_, {{rawCable.device()}, {telnetCable.device(), true}});
    const int rawPort = ser2net.port(0);
    const int telnetPort = ser2net.port(1);
    const auto settle = Ser2net::settle;

    const auto board = [](const std::string& name, const std::string& line, const char* address,
                          const char* gateway) {
        return R"({"name": ")" + name + R"(", "line": ")" + line +
               R"(", "network": {"address": ")" + address + R"(", "gateway": ")" + gateway +
               R"(", "dns": ["10.0.0.53"], "idc": "dc1", "soc_ip": "10.0.0.8", "pod_id": 1}})";
    };
    const std::string rawLine = "tcp:127.0.0.1:" + std::to_string(rawPort);
    const std::string telnetLine = "telnet:127.0.0.1:" + std::to_string(telnetPort);
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
    const UniqueFd other = loopbackSocket(rawPort);
    EXPECT_EQ(ctl("--device " + rawLine + " probe"), 75) << out();
    EXPECT_NE(out().find("line busy"), std::string::npos) << out();
}

}  // namespace
