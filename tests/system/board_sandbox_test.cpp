// The simulated board itself: what the system tests rely on, and that it never reaches
// the machine's own files or network.
#include <sys/wait.h>

#include <fstream>
#include <sstream>
#include <string>

#include "board.h"

namespace qftest {
namespace {

std::string hostFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

using BoardSandbox = BoardTest;

TEST_F(BoardSandbox, InterfaceRestartAndFileReplacementStayInTheBoard) {
    const std::string hostInterfaces = hostFile("/etc/network/interfaces");
    const std::string hostResolv = hostFile("/etc/resolv.conf");
    BoardOptions options;
    options.mac = "02:51:46:aa:bb:cc";
    board_ = std::make_unique<SimulatedBoard>(options);
    SimulatedBoard& board = *board_;

    board.writeFile("etc/network/interfaces",
                    "auto eth0\niface eth0 inet static\n    address 10.9.8.7/24\n"
                    "    post-up /usr/bin/eth0_config.sh\n");
    std::string out;
    ASSERT_EQ(board.run({"/usr/sbin/ifup", "eth0"}, &out), 0) << out;
    ASSERT_EQ(board.run({"ip", "-o", "addr", "show", "eth0"}, &out), 0) << out;
    EXPECT_NE(out.find("inet 10.9.8.7/24"), std::string::npos) << out;
    ASSERT_EQ(board.run({"ip", "-o", "link", "show", "eth0"}, &out), 0) << out;
    EXPECT_NE(out.find("link/ether 02:51:46:aa:bb:cc"), std::string::npos) << out;
    EXPECT_EQ(board.readFile("var/log/eth0_config.log"),
              "eth0_config.sh  IFACE=eth0 MODE=start PHASE=post-up\n");
    ASSERT_EQ(board.run({"/usr/sbin/ifdown", "eth0"}, &out), 0) << out;

    // The daemon replaces files by renaming a new file over them.
    const std::string script =
        "for f in /etc/resolv.conf /etc/network/interfaces /opt/.hostinfo; do "
        "echo new > $f.tmp && mv $f.tmp $f || exit 1; done";
    ASSERT_EQ(board.run({"sh", "-c", script}, &out), 0) << out;
    EXPECT_EQ(board.readFile("etc/resolv.conf"), "new\n");
    EXPECT_EQ(board.readFile("etc/network/interfaces"), "new\n");
    EXPECT_EQ(board.readFile("opt/.hostinfo"), "new\n");
    EXPECT_EQ(hostFile("/etc/network/interfaces"), hostInterfaces);
    EXPECT_EQ(hostFile("/etc/resolv.conf"), hostResolv);
}

TEST_F(BoardSandbox, DaemonRestartsOnTheSameBoard) {
    SimulatedBoard& board = boot();
    std::string out;
    ASSERT_EQ(board.run({"ip", "addr", "add", "10.1.1.1/24", "dev", "eth0"}, &out), 0) << out;
    const LogMark first = board.mark();

    for (const int sig : {SIGKILL, SIGTERM, SIGHUP}) {
        const int status = board.stopDaemon(sig);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << sig << ": " << status;
        EXPECT_FALSE(board.daemonRunning());
        board.startDaemon();
        EXPECT_EQ(board.request(R"({"cmd":"get_stat","uuid":"again"})").substr(0, 17),
                  R"({"cmd":"get_stat")");
    }
    // Same network namespace, logs appended.
    ASSERT_EQ(board.run({"ip", "-o", "addr", "show", "eth0"}, &out), 0) << out;
    EXPECT_NE(out.find("10.1.1.1/24"), std::string::npos) << out;
    const std::string log = board.logSince(first);
    int starts = 0;
    for (auto at = log.find("quillferry start"); at != std::string::npos;
         at = log.find("quillferry start", at + 1)) {
        ++starts;
    }
    EXPECT_EQ(starts, 3) << log;
}

TEST_F(BoardSandbox, StandInsReplaceProgramsUnderUsr) {
    BoardOptions options;
    options.stubs = {{"/usr/sbin/ifup", "/usr/bin/true"}, {"/usr/bin/qf-extra", "/usr/bin/echo"}};
    board_ = std::make_unique<SimulatedBoard>(options);
    std::string out;
    EXPECT_EQ(board_->run({"/usr/sbin/ifup", "--no-such-option"}, &out), 0) << out;
    EXPECT_EQ(board_->run({"qf-extra", "hello"}, &out), 0);
    EXPECT_EQ(out, "hello\n");
    EXPECT_EQ(board_->run({"ls", "/usr/bin/eth0_config.sh"}, &out), 0) << out;
}

}  // namespace
}  // namespace qftest
