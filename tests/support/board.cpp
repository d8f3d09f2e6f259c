// SPDX-License-Identifier: Apache-2.0
#include "board.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "raw_pty.h"

extern char** environ;

namespace qftest {

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> found;
    for (std::size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
        found.push_back(text.substr(at, nl + 1 - at));
    return found;
}

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}

// Polls `done` until it holds or `ms` have passed.
template <typename Done>
bool waitUntil(int ms, Done done) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::string tail(const std::string& text, std::size_t n) {
    return text.size() <= n ? text : "..." + text.substr(text.size() - n);
}

// Removes a tree without following links, opening up folders (the daemon leaves the
// container folder without search permission).
void removeTree(const fs::path& p) {
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(p, ec))) {
        fs::permissions(p, fs::perms::owner_all, fs::perm_options::add, ec);
        for (const auto& entry : fs::directory_iterator(p, ec)) removeTree(entry.path());
    }
    fs::remove(p, ec);
}

// Starts `argv` (stdin /dev/null, output appended to `out` and `err`) with the caller's
// environment minus the daemon's own switches plus `extra`.
pid_t spawn(const std::vector<std::string>& argv, const std::string& out, const std::string& err,
            const SimulatedBoard::Env& extra = {}) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "QUILLFERRY_", 11) != 0) env.emplace_back(*e);
    }
    for (const auto& [name, value] : extra) env.push_back(name + '=' += value);
    std::vector<char*> args(argv.size() + 1), envp(env.size() + 1);  // null-terminated
    for (std::size_t i = 0; i < argv.size(); ++i) args[i] = const_cast<char*>(argv[i].c_str());
    for (std::size_t i = 0; i < env.size(); ++i) envp[i] = const_cast<char*>(env[i].c_str());

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) fail("cannot start " + argv[0] + ": " + std::strerror(rc));
    return pid;
}

// Runs a command to its end, its stdout and stderr to `output` if given.
int runToEnd(const std::vector<std::string>& argv, std::string* output) {
    const std::unique_ptr<FILE, int (*)(FILE*)> file(std::tmpfile(), &std::fclose);
    if (!file) fail("tmpfile failed");
    const std::string name = "/proc/self/fd/" + std::to_string(::fileno(file.get()));
    const pid_t pid = spawn(argv, name, name);
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) fail("waitpid failed");
    if (output != nullptr) *output = readText(name);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

// The one child of the nsenter process, once nsenter has replaced the sandbox script.
pid_t childOfEnter(pid_t enterPid) {
    const std::string proc = "/proc/" + std::to_string(enterPid);
    if (readText(proc + "/comm") != "nsenter\n") return -1;
    std::istringstream children(readText(proc + "/task/" + std::to_string(enterPid) + "/children"));
    pid_t child = -1;
    return (children >> child) ? child : -1;
}

}  // namespace

bool SimulatedBoard::available(std::string& why) {
    static std::string out;
    static const bool ok = runToEnd({QF_BOARD_SANDBOX, "--check"}, &out) == 0;
    why = "no simulated board here (needs root or user namespaces and bubblewrap): " + out;
    return ok;
}

SimulatedBoard::SimulatedBoard(const BoardOptions& options) {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
    templ += "/quillferry-board.XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) fail("mkdtemp " + templ + ": " + std::strerror(errno));
    state_ = templ;
    try {
        RawPty pty = openRawPty();
        slavePath_ = pty.slavePath;
        slave_ = std::move(pty.slave);
        link_ = qfclient::SerialLink(std::move(pty.master));

        const std::string daemon = QF_DAEMON_PATH;
        std::vector<std::string> argv = {QF_BOARD_SANDBOX, "--state", state_, "--ro",
                                         daemon.substr(0, daemon.rfind('/'))};
        if (options.ttyLater) {
            argv.emplace_back("--tty-later");
        } else {
            argv.insert(argv.end(), {"--tty", slavePath_});
        }
        if (!options.mac.empty()) argv.insert(argv.end(), {"--mac", options.mac});
        fs::create_directories(path("stubs"));
        for (const auto& [dest, script] : options.stubs) {
            const std::string src = path("stubs/" + dest.substr(dest.rfind('/') + 1));
            std::ofstream(src, std::ios::binary) << script;
            fs::permissions(src, fs::perms(0755));
            argv.insert(argv.end(), {"--stub", dest + '=' += src});
        }
        sandboxPid_ = spawn(argv, path("sandbox.log"), path("sandbox.log"));
        waitUntil(15000, [&] {
            if (::waitpid(sandboxPid_, nullptr, WNOHANG) == sandboxPid_) sandboxPid_ = -1;
            return sandboxPid_ < 0 || fs::exists(path("board/ready"));
        });
        if (sandboxPid_ < 0 || !fs::exists(path("board/ready")))
            fail("the board did not start:\n" + readText(path("sandbox.log")));
    } catch (...) {
        teardown();
        throw;
    }
}

void SimulatedBoard::teardown() {
    stopDaemon();
    if (sandboxPid_ > 0) {
        ::kill(sandboxPid_, SIGKILL);
        ::waitpid(sandboxPid_, nullptr, 0);
    }
    if (std::getenv("QUILLFERRY_KEEP_BOARD") == nullptr) return removeTree(state_);
    std::fprintf(stderr, "board state kept in %s\n", state_.c_str());
}

void SimulatedBoard::startDaemon(const Env& env, bool waitUntilReady,
                                 const std::vector<std::string>& launcher) {
    if (daemonRunning()) fail("the daemon already runs");
    startMark_ = mark();
    std::vector<std::string> argv = {QF_BOARD_SANDBOX, "--state", state_, "--enter", "--"};
    argv.insert(argv.end(), launcher.begin(), launcher.end());
    argv.emplace_back(QF_DAEMON_PATH);
    enterPid_ = spawn(argv, path("daemon.stdout"), path("daemon.stderr"), env);
    if (!waitUntil(10000, [&] { return (daemonPid_ = childOfEnter(enterPid_)) > 0; }))
        fail(describe("the daemon did not start"));
    if (waitUntilReady && !waitReady(launcher.empty()))
        fail(describe("the daemon does not answer the probe"));
}

bool SimulatedBoard::waitReady(bool logged, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    // The daemon discards what came before it opened the device: probe once it says so
    // (when its log can be read), and again in case one was still discarded.
    if (logged && !waitForLog("open /dev/ttyMSM0!", timeoutMs, Stream::Out, startMark_))
        return false;
    link_.drain(20);  // whatever an earlier daemon sent
    for (int probes = 1; Clock::now() < deadline && daemonRunning(); ++probes) {
        send(std::string(golden::kProbe) + "\n");
        std::string line;
        if (link_.readLine(line, logged ? 1000 : 300) != qfclient::SerialLink::Status::Ok ||
            line != golden::kAck.substr(0, 17))
            continue;
        // A late answer to an earlier probe may still come; wait for the probe's and the
        // marker watcher's log lines, so that tests see only their own.
        link_.drain(probes > 1 ? 500 : 0);
        if (logged) {
            waitForLog("quillferry status check\n", 5000, Stream::Err, startMark_);
            waitForLog("start monitor service event\n", 5000, Stream::Err, startMark_);
        }
        return true;
    }
    return false;
}

void SimulatedBoard::stopDaemon() {
    if (!daemonRunning()) return;
    ::kill(daemonPid_ > 0 ? daemonPid_ : enterPid_, SIGKILL);  // nsenter ends with its child
    ::waitpid(enterPid_, nullptr, 0);
    enterPid_ = daemonPid_ = -1;
}

void SimulatedBoard::signalDaemon(int sig) const {
    if (daemonPid_ <= 0 || ::kill(daemonPid_, sig) != 0) fail("cannot signal the daemon");
}

int SimulatedBoard::waitForExit(int timeoutMs) {
    int status = 0;
    pid_t ended = 0;
    waitUntil(timeoutMs, [&] { return (ended = ::waitpid(enterPid_, &status, WNOHANG)) != 0; });
    if (ended != enterPid_) return -1;
    enterPid_ = daemonPid_ = -1;
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

bool SimulatedBoard::daemonRunning() {
    if (enterPid_ < 0) return false;
    if (::waitpid(enterPid_, nullptr, WNOHANG) == 0) return true;
    enterPid_ = daemonPid_ = -1;
    return false;
}

std::string SimulatedBoard::fence(int timeoutMs) {
    send(std::string(R"({"cmd":"get_stat","uuid":"fence"})") + "\n");
    std::string got;
    for (std::string line; got.find(R"("uuid":"fence"})") == std::string::npos; got += line) {
        if (link_.readLine(line, timeoutMs) != qfclient::SerialLink::Status::Ok)
            fail(describe("no reply to the fence; received: " + got.append(line)));
    }
    return got.substr(0, got.rfind(R"({"cmd":"get_stat",)"));
}

void SimulatedBoard::plugTty() {
    std::string out;
    if (runToEnd({QF_BOARD_SANDBOX, "--state", state_, "--plug-tty", slavePath_}, &out) != 0)
        fail("cannot plug the tty: " + out);
    if (!waitReady(true)) fail(describe("the daemon does not answer on the plugged tty"));
}

std::string SimulatedBoard::logSince(const LogMark& m, Stream s) const {
    const std::string text = readText(path(s == Stream::Err ? "daemon.stderr" : "daemon.stdout"));
    return text.substr(std::min(text.size(), s == Stream::Err ? m.err : m.out));
}

bool SimulatedBoard::waitForLog(const std::string& needle, int timeoutMs, Stream s,
                                const LogMark& from) const {
    return waitUntil(timeoutMs,
                     [&] { return logSince(from, s).find(needle) != std::string::npos; });
}

std::string SimulatedBoard::describe(const std::string& what) const {
    return what + "\n--- daemon stderr ---\n" + tail(log(Stream::Err), 3000) +
           "\n--- daemon stdout ---\n" + tail(log(Stream::Out), 1000) + "\n--- sandbox ---\n" +
           tail(readText(path("sandbox.log")), 1000);
}

void SimulatedBoard::putFile(const std::string& rel, const char* contents) const {
    if (contents == nullptr) {
        fs::remove(path(rel));
        return;
    }
    fs::create_directories(fs::path(path(rel)).parent_path());
    std::ofstream out(path(rel), std::ios::binary | std::ios::trunc);
    if (!(out << contents).flush()) fail("cannot write " + rel);
}

int SimulatedBoard::run(const std::vector<std::string>& argv, std::string* output) const {
    std::vector<std::string> full = {QF_BOARD_SANDBOX, "--state", state_, "--enter", "--"};
    full.insert(full.end(), argv.begin(), argv.end());
    return runToEnd(full, output);
}

std::map<std::string, std::string> SimulatedBoard::files(
    const std::vector<std::string>& names) const {
    // "size name" per file that exists, an empty line, then their contents in that order.
    std::vector<std::string> argv = {
        "sh", "-c", R"(stat -c '%s %n' "$@" 2>/dev/null; echo; cat "$@" 2>/dev/null)", "sh"};
    argv.insert(argv.end(), names.begin(), names.end());
    std::string out;
    run(argv, &out);
    std::map<std::string, std::string> got;
    std::istringstream in(out);
    std::size_t at = out.find("\n\n") + 2;
    for (std::string head; std::getline(in, head) && !head.empty();) {
        const std::size_t size = std::stoul(head);
        got[head.substr(head.find(' ') + 1)] = out.substr(at, size);
        at += size;
    }
    return got;
}

}  // namespace qftest
