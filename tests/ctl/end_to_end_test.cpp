// Runs the built quillferry-ctl against a pty: the test plays the board on the master side.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <regex>

#include "core/unique_fd.h"
#include "ctl/serial_link.h"

extern char** environ;

namespace {

using Args = std::vector<std::string>;

struct Pty {
    UniqueFd master;
    std::string slave;
};

Pty openPty() {
    Pty pty;
    pty.master.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    char name[128] = {};
    if (!pty.master.valid() || ::grantpt(pty.master.get()) != 0 ||
        ::unlockpt(pty.master.get()) != 0 ||
        ::ptsname_r(pty.master.get(), name, sizeof name) != 0) {
        ADD_FAILURE() << "cannot open a pty";
        return Pty();
    }
    pty.slave = name;
    return pty;
}

std::string readAll(int fd) {
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
    return text;
}

struct Finished {
    int status = -1;
    std::string out;
    std::string err;
};

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    result.reserve(texts.size() + 1);
    for (std::string& t : texts) result.push_back(t.data());
    result.push_back(nullptr);
    return result;
}

// Runs quillferry-ctl with its output on pipes while `board` plays the other end of the
// line. QUILLFERRY_DEVICE is `deviceEnv` when that is not empty and unset otherwise, whatever
// the test's own environment holds.
Finished runCtl(Args args, const std::string& deviceEnv, const std::function<void()>& board) {
    Finished done;
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2";
        return done;
    }
    const UniqueFd outRead(outPipe[0]);
    const UniqueFd errRead(errPipe[0]);
    UniqueFd outWrite(outPipe[1]);
    UniqueFd errWrite(errPipe[1]);

    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::string(*e).rfind("QUILLFERRY_DEVICE=", 0) != 0) env.emplace_back(*e);
    }
    if (!deviceEnv.empty()) env.push_back("QUILLFERRY_DEVICE=" + deviceEnv);
    args.insert(args.begin(), QUILLFERRY_CTL_PATH);

    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, outWrite.get(), STDOUT_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions, errWrite.get(), STDERR_FILENO);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, QUILLFERRY_CTL_PATH, &actions, nullptr,
                                 pointers(args).data(), pointers(env).data());
    ::posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        ADD_FAILURE() << "cannot start " << QUILLFERRY_CTL_PATH;
        return done;
    }
    outWrite.reset();  // so that the pipes end when the child exits
    errWrite.reset();
    if (board) board();
    done.out = readAll(outRead.get());
    done.err = readAll(errRead.get());
    int wstatus = 0;
    if (::waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus))
        done.status = WEXITSTATUS(wstatus);
    return done;
}

const char kAck[] = "Quillferry_Ok!!!\n";  // sent with its terminating zero byte
const char* const kStatReply =
    "{\"cmd\":\"get_stat\",\"cpu_pwr_lmt\":100,\"cpu_temp\":45000,\"netconf\":0,\"ret_val\":0,"
    "\"uuid\":\"ab\"}\n";
// jsoncpp's styled text of kStatReply.
const char* const kStatPretty =
    "{\n\t\"cmd\" : \"get_stat\",\n\t\"cpu_pwr_lmt\" : 100,\n\t\"cpu_temp\" : 45000,\n"
    "\t\"netconf\" : 0,\n\t\"ret_val\" : 0,\n\t\"uuid\" : \"ab\"\n}\n";

TEST(CtlEndToEnd, AgainstABoardOnAPty) {
    struct Case {
        const char* name;
        // "{dev}" stands for the pty's slave; without it the device comes from the environment.
        Args args;
        const char* request;                // pattern for the line the board receives
        std::optional<std::string> answer;  // none: the board stays silent
        int status;
        std::string out;
        const char* errHas;  // empty: nothing on stderr
    } const cases[] = {
        {"stat, uuid echoed without spaces",
         {"--device", "{dev}", "--uuid", "a b", "stat"},
         R"(\{"cmd":"get_stat","uuid":"a b"\}\n)",
         kStatReply,
         0,
         kStatPretty,
         ""},
        {"hw raw, device from the environment, fresh uuid",
         {"--raw", "hw"},
         R"(\{"cmd":"get_hardware_conf","uuid":"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}"\}\n)",
         "{\"cmd\":\"get_hardware_conf\",\"ret_val\":0,\"uuid\":\"other\"}\nnext line\n",
         0,
         "{\"cmd\":\"get_hardware_conf\",\"ret_val\":0,\"uuid\":\"other\"}\n",
         "another uuid"},
        {"send as given, ret_val -1",
         {"--device", "{dev}", "--raw", "send", R"({"cmd":"set_net_conf", "uuid":"1"})"},
         R"(\{"cmd":"set_net_conf", "uuid":"1"\}\n)",
         "{\"cmd\":\"set_net_conf\",\"ret_val\":-1,\"uuid\":\"1\"}\n",
         1,
         "{\"cmd\":\"set_net_conf\",\"ret_val\":-1,\"uuid\":\"1\"}\n",
         "ret_val -1"},
        {"no reply",
         {"--device", "{dev}", "--timeout", "0.3", "stat"},
         ".*\n",
         std::nullopt,
         2,
         "",
         "no reply"},
        {"half a reply",
         {"--device", "{dev}", "--timeout", "0.3", "stat"},
         ".*\n",
         "{\"cmd\":\"get_",
         2,
         "",
         "received only: {\"cmd\":\"get_"},
        {"reply not JSON",
         {"--device", "{dev}", "stat"},
         ".*\n",
         "read fail\n",
         1,
         "",
         "not a JSON object"},
        {"probe",
         {"--device", "{dev}", "probe"},
         "Quillferry_Status_Check_5c81e07b94f2\n",
         std::string(kAck, sizeof kAck),
         0,
         "alive\n",
         ""},
        {"probe raw",
         {"--device", "{dev}", "--raw", "probe"},
         ".*\n",
         std::string(kAck, sizeof kAck),
         0,
         "Quillferry_Ok!!!\\n\\x00\n",
         ""},
        // Recognised at the first wrong byte, well before the default timeout.
        {"probe answered with a line",
         {"--device", "{dev}", "probe"},
         ".*\n",
         "Quillferry_Ok!!!\n\n",
         1,
         "",
         "unexpected answer to the probe: Quillferry_Ok!!!\\n\\n"},
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pty pty = openPty();
        ASSERT_TRUE(pty.master.valid());
        Args args = c.args;
        bool named = false;
        for (std::string& a : args) {
            if (a == "{dev}") {
                a = pty.slave;
                named = true;
            }
        }
        const auto start = std::chrono::steady_clock::now();
        SerialLink board(std::move(pty.master));
        const Finished done = runCtl(args, named ? "" : pty.slave, [&] {
            std::string request;
            EXPECT_EQ(board.readLine(request, 5000), SerialLink::Status::Ok);
            EXPECT_TRUE(std::regex_match(request, std::regex(c.request))) << request;
            if (c.answer) {
                EXPECT_TRUE(board.send(*c.answer));
            }
        });
        const auto took = std::chrono::steady_clock::now() - start;

        EXPECT_EQ(done.status, c.status) << done.err;
        EXPECT_EQ(done.out, c.out);
        if (*c.errHas == '\0') {
            EXPECT_EQ(done.err, "");
        } else {
            EXPECT_NE(done.err.find(c.errHas), std::string::npos) << done.err;
        }
        EXPECT_LT(took, std::chrono::seconds(3));
    }
}

TEST(CtlEndToEnd, UsageAndDeviceErrors) {
    struct Case {
        Args args;
        int status;
        const char* outHas;
        const char* errHas;
    } const cases[] = {
        {{"stat"}, 64, "", "no device"},
        {{"--device", "/dev/null", "--timeout", "soon", "stat"}, 64, "", "invalid timeout"},
        {{"--device", "/nonexistent/tty", "stat"}, 69, "", "cannot open /nonexistent/tty"},
        {{"--device", "/dev/null", "probe"}, 69, "", "not a serial device"},
        {{"--help"}, 0, "QUILLFERRY_DEVICE", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const Finished done = runCtl(c.args, "", nullptr);
        EXPECT_EQ(done.status, c.status);
        EXPECT_NE(done.out.find(c.outHas), std::string::npos) << done.out;
        EXPECT_NE(done.err.find(c.errHas), std::string::npos) << done.err;
        if (c.status == 64) {
            // The error, then the one-line synopsis.
            EXPECT_EQ(std::count(done.err.begin(), done.err.end(), '\n'), 2) << done.err;
            EXPECT_NE(done.err.find("\nUsage: quillferry-ctl "), std::string::npos);
        }
    }
}

}  // namespace
