// quillferry-ctl's fleet command against three real daemons on simulated boards at once:
// one on a local serial line, one behind ser2net's raw TCP port and one behind its telnet
// port with RFC 2217, all on loopback. Each board's line is a pty of its own that the test
// joins to the board's.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "board.h"
#include "raw_pty.h"

extern char** environ;

namespace {

using qftest::SimulatedBoard;

// Joins the board's end of its line to a pty of the controller's, whose slave a client
// (or ser2net) opens as the board's serial device.
class Cable {
public:
    explicit Cable(SimulatedBoard& board) : board_(board.link().fd()), pty_(openRawPty()) {
        thread_ = std::thread([this] {
            pollfd fds[2] = {{board_, POLLIN, 0}, {pty_.master.get(), POLLIN, 0}};
            char buf[4096];
            while (!stop_) {
                if (::poll(fds, 2, 50) <= 0) continue;
                for (int i = 0; i < 2; ++i) {
                    if ((fds[i].revents & POLLIN) == 0) continue;
                    const ssize_t n = ::read(fds[i].fd, buf, sizeof(buf));
                    if (n > 0 && ::write(fds[1 - i].fd, buf, static_cast<std::size_t>(n)) != n)
                        return;
                }
            }
        });
    }
    ~Cable() {
        stop_ = true;
        thread_.join();
    }
    const std::string& device() const { return pty_.slavePath; }

private:
    int board_;
    RawPty pty_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A loopback port that is free now.
int freePort() {
    const UniqueFd s(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ::bind(s.get(), reinterpret_cast<sockaddr*>(&addr), len);
    ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

UniqueFd connectTo(int port) {
    UniqueFd s(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) s.reset();
    return s;
}

// ser2net in the foreground with its own configuration, stopped with the test.
class Ser2net {
public:
    Ser2net(const std::string& dir, const std::string& raw, const std::string& telnet)
        : rawPort(freePort()), telnetPort(freePort()) {
        const std::string config = dir + "/ser2net.yaml";
        std::ofstream(config) << "connection: &raw\n  accepter: tcp,127.0.0.1," << rawPort
                              << "\n  connector: serialdev," << raw << ",115200n81,local\n"
                              << "connection: &telnet\n  accepter: telnet(rfc2217),tcp,127.0.0.1,"
                              << telnetPort << "\n  connector: serialdev," << telnet
                              << ",115200n81,local\n";
        const char* argv[] = {"ser2net", "-n", "-d", "-c", config.c_str(), nullptr};
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, (dir + "/ser2net.log").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        posix_spawnp(&pid_, "ser2net", &fa, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&fa);
        for (int i = 0; i < 100 && !(connectTo(rawPort).valid() && connectTo(telnetPort).valid());
             ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        settle();
    }
    ~Ser2net() { stop(); }
    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    // ser2net closes a port's device a moment after its client left.
    static void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(300)); }

    const int rawPort;
    const int telnetPort;

private:
    pid_t pid_ = -1;
};

struct CtlRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the built quillferry-ctl with `args` (words without quotes or spaces).
CtlRun ctl(const std::string& dir, const std::string& args) {
    const std::string err = dir + "/ctl.err";
    const std::string command = std::string(QF_CTL_PATH) + " " + args + " 2>" + err;
    CtlRun r;
    FILE* pipe = ::popen(command.c_str(), "r");
    char buf[4096];
    for (std::size_t n; pipe != nullptr && (n = std::fread(buf, 1, sizeof(buf), pipe)) > 0;)
        r.out.append(buf, n);
    const int status = pipe != nullptr ? ::pclose(pipe) : -1;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.err = qftest::readText(err);
    return r;
}

class CtlFleetSystem : public qftest::BoardTest {
protected:
    void SetUp() override {
        qftest::BoardTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        for (const char* tool : {"ser2net", "promtool"}) {
            if (std::system((std::string("command -v ") + tool + " >/dev/null").c_str()) == 0)
                continue;
            if (std::getenv("CI") != nullptr) GTEST_FAIL() << tool << " is missing";
            GTEST_SKIP() << tool << " is missing (tools/install-deps board)";
        }
        char name[] = "/tmp/quillferry-fleet-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir_ = name;
    }
    void TearDown() override {
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }
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
    Ser2net ser2net(dir_, rawCable.device(), telnetCable.device());

    const auto network = [](const char* address, const char* gateway, int pod) {
        return std::string(R"("network": {"address": ")") + address + R"(", "gateway": ")" +
               gateway +
               R"(", "dns": ["10.0.0.53"], "idc": "dc1", "soc_ip": "10.0.0.8", "pod_id": )" +
               std::to_string(pod) + "}";
    };
    const std::string inventory = dir_ + "/inventory.json";
    std::ofstream(inventory) << R"({"boards": [
  {"name": "local", "line": ")"
                             << localCable.device() << R"(", )"
                             << network("10.0.1.8/24", "10.0.1.1", 1) << R"(},
  {"name": "raw", "line": "tcp:127.0.0.1:)"
                             << ser2net.rawPort << R"(", )" << network("10.0.2.8/24", "10.0.2.1", 2)
                             << R"(},
  {"name": "telnet", "line": "telnet:127.0.0.1:)"
                             << ser2net.telnetPort << R"(", )"
                             << network("fd00:3::8/64", "fd00:3::1", 3) << "}]}";

    const CtlRun set = ctl(dir_, "--inventory " + inventory + " --format jsonl set-net");
    EXPECT_EQ(set.status, 0) << set.out << set.err;
    EXPECT_NE(set.err.find("3 boards: 3 ok"), std::string::npos) << set.err;
    EXPECT_NE(local.readFile("etc/network/interfaces").find("address 10.0.1.8/24"),
              std::string::npos);
    EXPECT_NE(raw.readFile("etc/network/interfaces").find("address 10.0.2.8/24"),
              std::string::npos);
    EXPECT_NE(telnet.readFile("etc/network/interfaces").find("address fd00:3::8/64"),
              std::string::npos);

    Ser2net::settle();
    const CtlRun stat = ctl(dir_, "--inventory " + inventory + " --format prometheus stat");
    EXPECT_EQ(stat.status, 0) << stat.out << stat.err;
    for (const char* board : {"local", "raw", "telnet"}) {
        EXPECT_NE(
            stat.out.find(std::string("quillferry_board_network_configured{board=\"") + board),
            std::string::npos)
            << stat.out;
    }
    std::ofstream(dir_ + "/metrics.prom") << stat.out;
    EXPECT_EQ(std::system(("promtool check metrics <" + dir_ + "/metrics.prom").c_str()), 0)
        << stat.out;

    // Someone else on the console server's port: line busy. The server gone mid-command:
    // no reply, with the reason.
    Ser2net::settle();
    {
        const UniqueFd other = connectTo(ser2net.rawPort);
        const CtlRun busy =
            ctl(dir_, "--device tcp:127.0.0.1:" + std::to_string(ser2net.rawPort) + " probe");
        EXPECT_EQ(busy.status, 75) << busy.err;
        EXPECT_NE(busy.err.find("line busy"), std::string::npos) << busy.err;
    }
    Ser2net::settle();
    std::thread killer([&ser2net] {
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        ser2net.stop();
    });
    // A command the daemon leaves unanswered, so that the client still waits when ser2net ends.
    const CtlRun dropped =
        ctl(dir_, "--timeout 10 --device telnet:127.0.0.1:" + std::to_string(ser2net.telnetPort) +
                      R"( send '{"cmd":"none","uuid":"d"}')");
    killer.join();
    EXPECT_EQ(dropped.status, 2) << dropped.err;
    EXPECT_NE(dropped.err.find("closed the connection before the reply came"), std::string::npos)
        << dropped.err;
    const CtlRun gone =
        ctl(dir_, "--device tcp:127.0.0.1:" + std::to_string(ser2net.rawPort) + " probe");
    EXPECT_EQ(gone.status, 69) << gone.err;
}

}  // namespace
