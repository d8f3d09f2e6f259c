#include "board.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace qftest {

namespace {

using Clock = std::chrono::steady_clock;

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}

std::string errnoText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string tail(const std::string& text, std::size_t n) {
    return text.size() <= n ? text : "..." + text.substr(text.size() - n);
}

bool makeDirs(const std::string& dir) {
    for (std::size_t pos = 1; pos != std::string::npos;) {
        pos = dir.find('/', pos + 1);
        const std::string part = dir.substr(0, pos);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    return true;
}

// Removes a tree without following links or crossing into another file system. Folders
// are opened up first: the daemon may leave one without search permission.
void removeTree(const std::string& path, dev_t dev) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || st.st_dev != dev) return;
    if (S_ISDIR(st.st_mode)) {
        ::chmod(path.c_str(), 0700);
        if (DIR* d = ::opendir(path.c_str())) {
            while (const dirent* e = ::readdir(d)) {
                const std::string name = e->d_name;
                if (name == "." || name == "..") continue;
                std::string child = path;
                child += '/';
                removeTree(child += name, dev);
            }
            ::closedir(d);
        }
        ::rmdir(path.c_str());
    } else {
        ::unlink(path.c_str());
    }
}

// The caller's environment without the daemon's own switches, plus `extra`.
std::vector<std::string> daemonEnv(const SimulatedBoard::Env& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "QUILLFERRY_", 11) != 0) env.emplace_back(*e);
    }
    for (const auto& [name, value] : extra) env.push_back(name + '=' += value);
    return env;
}

struct Output {
    int fd = -1;          // stdout and stderr both go here when >= 0
    std::string outFile;  // otherwise appended to these files
    std::string errFile;
};

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const Output& output) {
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    envp.reserve(env.size() + 1);
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (output.fd >= 0) {
        posix_spawn_file_actions_adddup2(&fa, output.fd, 1);
        posix_spawn_file_actions_adddup2(&fa, output.fd, 2);
    } else {
        const int flags = O_WRONLY | O_CREAT | O_APPEND;
        posix_spawn_file_actions_addopen(&fa, 1, output.outFile.c_str(), flags, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, output.errFile.c_str(), flags, 0644);
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD}) {
        sigaddset(&defaults, sig);
    }
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &fa, &attr, args.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) fail("cannot start " + argv[0] + ": " + std::strerror(rc));
    return pid;
}

int exitCode(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Runs a command to its end; its output (stdout and stderr) goes to `output` if given.
int runToEnd(const std::vector<std::string>& argv, std::string* output) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) fail(errnoText("pipe"));
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);
    const pid_t pid = spawn(argv, daemonEnv({}), Output{writeEnd.get(), {}, {}});
    writeEnd.reset();
    std::string text;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(readEnd.get(), buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) fail(errnoText("waitpid"));
    }
    if (output != nullptr) *output = text;
    return exitCode(status);
}

// The one child of the nsenter process, once nsenter has replaced the sandbox script.
pid_t childOfEnter(pid_t enterPid) {
    const std::string proc = "/proc/" + std::to_string(enterPid);
    if (slurp(proc + "/comm") != "nsenter\n") return -1;
    std::istringstream children(slurp(proc + "/task/" + std::to_string(enterPid) + "/children"));
    pid_t child = -1;
    return (children >> child) ? child : -1;
}

}  // namespace

std::string SimulatedBoard::daemonPath() {
    return QF_DAEMON_PATH;
}

bool SimulatedBoard::available(std::string& why) {
    static int cached = -1;
    static std::string reason;
    if (cached < 0) {
        std::string out;
        cached = runToEnd({QF_BOARD_SANDBOX, "--check"}, &out) == 0 ? 1 : 0;
        reason =
            "no simulated board on this machine (needs root or user namespaces and "
            "bubblewrap): " +
            out;
    }
    why = reason;
    return cached == 1;
}

SimulatedBoard::SimulatedBoard(const BoardOptions& options) {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/quillferry-board.XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) fail(errnoText("mkdtemp " + templ));
    state_ = templ;
    try {
        // Raw from the start: until the daemon configures the line, nothing may be echoed.
        UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (!master.valid() || ::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0) {
            fail(errnoText("cannot create a pty"));
        }
        char name[128];
        if (::ptsname_r(master.get(), name, sizeof(name)) != 0) fail(errnoText("ptsname"));
        slavePath_ = name;
        slave_.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
        struct termios tio {};
        if (!slave_.valid() || ::tcgetattr(slave_.get(), &tio) != 0) fail(errnoText(name));
        ::cfmakeraw(&tio);
        if (::tcsetattr(slave_.get(), TCSANOW, &tio) != 0) fail(errnoText("tcsetattr"));
        link_ = SerialLink(std::move(master));
        ttyPresent_ = !options.ttyLater;

        for (const auto& [rel, contents] : options.files) writeFile(rel, contents);
        bootSandbox(options);
    } catch (...) {
        teardown();
        throw;
    }
}

void SimulatedBoard::bootSandbox(const BoardOptions& options) {
    std::vector<std::string> argv = {QF_BOARD_SANDBOX, "--state", state_};
    if (options.ttyLater) {
        argv.emplace_back("--tty-later");
    } else {
        argv.insert(argv.end(), {"--tty", slavePath_});
    }
    if (options.dataSize != 0)
        argv.insert(argv.end(), {"--data-size", std::to_string(options.dataSize)});
    if (!options.mac.empty()) argv.insert(argv.end(), {"--mac", options.mac});
    const std::string daemon = daemonPath();
    argv.insert(argv.end(), {"--ro", daemon.substr(0, daemon.rfind('/'))});
    for (const auto& [dest, src] : options.stubs)
        argv.insert(argv.end(), {"--stub", dest + '=' += src});

    const std::string log = path("sandbox.log");
    sandboxPid_ = spawn(argv, daemonEnv({}), Output{-1, log, log});
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    while (!exists("board/ready")) {
        int status = 0;
        if (::waitpid(sandboxPid_, &status, WNOHANG) == sandboxPid_) {
            sandboxPid_ = -1;
            fail("the board did not start:\n" + slurp(log));
        }
        if (Clock::now() > deadline) fail("the board did not get ready:\n" + slurp(log));
        sleepMs(10);
    }
}

SimulatedBoard::~SimulatedBoard() {
    teardown();
}

void SimulatedBoard::teardown() {
    stopDaemon(SIGKILL);
    if (sandboxPid_ > 0) {
        ::kill(sandboxPid_, SIGKILL);
        ::waitpid(sandboxPid_, nullptr, 0);
        sandboxPid_ = -1;
    }
    if (state_.empty()) return;
    if (std::getenv("QUILLFERRY_KEEP_BOARD") != nullptr) {
        std::fprintf(stderr, "board state kept in %s\n", state_.c_str());
        return;
    }
    struct stat st {};
    if (::lstat(state_.c_str(), &st) == 0) removeTree(state_, st.st_dev);
    state_.clear();
}

// --- the daemon --------------------------------------------------------------------------

void SimulatedBoard::startDaemon(const Env& env, bool waitUntilReady) {
    if (daemonRunning()) fail("the daemon already runs");
    startMark_ = mark();
    enterPid_ = spawn({QF_BOARD_SANDBOX, "--state", state_, "--enter", "--", daemonPath()},
                      daemonEnv(env), Output{-1, path("daemon.stdout"), path("daemon.stderr")});
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while ((daemonPid_ = childOfEnter(enterPid_)) < 0) {
        int status = 0;
        if (::waitpid(enterPid_, &status, WNOHANG) == enterPid_) {
            enterPid_ = -1;
            fail(describe("the daemon did not start"));
        }
        if (Clock::now() > deadline) fail(describe("the daemon did not start in time"));
        sleepMs(5);
    }
    if (waitUntilReady && ttyPresent_ && !waitReady()) {
        fail(describe("the daemon does not answer the probe"));
    }
}

bool SimulatedBoard::waitReady(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    // The daemon discards what arrived before it opened the device: probe only once it
    // says so, and repeat the probe in case one was still discarded.
    while (logSince(startMark_, Stream::Out).find("open /dev/ttyMSM0!") == std::string::npos) {
        if (!daemonRunning() || Clock::now() > deadline) return false;
        sleepMs(5);
    }
    link_.drain(20);  // whatever an earlier daemon sent
    for (int probes = 1; Clock::now() < deadline; ++probes) {
        if (!daemonRunning()) return false;
        send(std::string(kProbe) + "\n");
        std::string line;
        if (link_.readLine(line, 1000) == SerialLink::Status::Ok && line == kAck.substr(0, 17)) {
            // A probe unanswered for a second was most likely discarded, but a slow answer
            // to it may still follow.
            link_.drain(probes > 1 ? 500 : 0);
            // The marker watcher starts on its own thread; once it has reported (success
            // or failure), start-up logging is over and tests see only their own lines.
            const auto watcherDeadline = Clock::now() + std::chrono::seconds(5);
            for (;;) {
                const std::string err = logSince(startMark_, Stream::Err);
                if (err.find("start monitor service event\n") != std::string::npos ||
                    err.find("inotify_") != std::string::npos || Clock::now() > watcherDeadline) {
                    return true;
                }
                sleepMs(5);
            }
        }
    }
    return false;
}

void SimulatedBoard::signalDaemon(int sig) {
    if (daemonPid_ > 0) ::kill(daemonPid_, sig);
}

int SimulatedBoard::stopDaemon(int sig) {
    if (enterPid_ < 0) return -1;
    signalDaemon(sig);
    int status = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (::waitpid(enterPid_, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            signalDaemon(SIGKILL);
            ::waitpid(enterPid_, &status, 0);
            break;
        }
        sleepMs(5);
    }
    enterPid_ = daemonPid_ = -1;
    return status;
}

void SimulatedBoard::restartDaemon(const Env& env, int sig) {
    stopDaemon(sig);
    startDaemon(env);
}

bool SimulatedBoard::daemonRunning() {
    if (enterPid_ < 0) return false;
    int status = 0;
    if (::waitpid(enterPid_, &status, WNOHANG) == 0) return true;
    enterPid_ = daemonPid_ = -1;
    return false;
}

// --- the serial line ---------------------------------------------------------------------

bool SimulatedBoard::send(const std::string& bytes) {
    return link_.send(bytes);
}

std::string SimulatedBoard::request(const std::string& line, int timeoutMs) {
    send(!line.empty() && line.back() == '\n' ? line : line + "\n");
    return readLine(timeoutMs);
}

std::string SimulatedBoard::readLine(int timeoutMs) {
    std::string line;
    link_.readLine(line, timeoutMs);
    return line;
}

std::string SimulatedBoard::readExact(std::size_t count, int timeoutMs) {
    std::string out;
    link_.readExact(count, out, timeoutMs);
    return out;
}

std::string SimulatedBoard::fence(int timeoutMs) {
    send(std::string(kProbe) + "\n");
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string before;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        std::string line;
        if (link_.readLine(line, static_cast<int>(left.count())) != SerialLink::Status::Ok) {
            fail(describe("no acknowledgement of the fence probe; received: " + before += line));
        }
        if (line == kAck.substr(0, 17)) {
            const std::string zero = readExact(1, 1000);
            if (zero != std::string(1, '\0')) fail("the acknowledgement lacks its zero byte");
            return before;
        }
        before += line;
    }
}

std::string SimulatedBoard::exchange(const std::string& line, int timeoutMs) {
    send(!line.empty() && line.back() == '\n' ? line : line + "\n");
    return fence(timeoutMs);
}

bool SimulatedBoard::quietFor(int ms) {
    std::string out;
    return link_.readExact(1, out, ms) == SerialLink::Status::Timeout;
}

void SimulatedBoard::plugTty() {
    std::string out;
    if (runToEnd({QF_BOARD_SANDBOX, "--state", state_, "--plug-tty", slavePath_}, &out) != 0) {
        fail("cannot plug the tty: " + out);
    }
    ttyPresent_ = true;
}

// --- logs --------------------------------------------------------------------------------

std::string SimulatedBoard::log(Stream s) const {
    return slurp(path(s == Stream::Err ? "daemon.stderr" : "daemon.stdout"));
}

LogMark SimulatedBoard::mark() const {
    return {log(Stream::Err).size(), log(Stream::Out).size()};
}

std::string SimulatedBoard::logSince(const LogMark& m, Stream s) const {
    const std::string text = log(s);
    const std::size_t from = s == Stream::Err ? m.err : m.out;
    return from < text.size() ? text.substr(from) : std::string();
}

bool SimulatedBoard::waitForLog(const std::string& needle, int timeoutMs, Stream s,
                                const LogMark& from) const {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (logSince(from, s).find(needle) != std::string::npos) return true;
        if (Clock::now() > deadline) return false;
        sleepMs(10);
    }
}

std::string SimulatedBoard::describe(const std::string& what) const {
    return what + "\n--- daemon stderr ---\n" + tail(log(Stream::Err), 3000) +
           "\n--- daemon stdout ---\n" + tail(log(Stream::Out), 1000) + "\n--- sandbox ---\n" +
           tail(slurp(path("sandbox.log")), 1000);
}

// --- files -------------------------------------------------------------------------------

void SimulatedBoard::writeFile(const std::string& rel, const std::string& contents) const {
    const std::string p = path(rel);
    if (!makeDirs(p.substr(0, p.rfind('/')))) fail(errnoText("mkdir for " + p));
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << contents;
    if (!out.flush()) fail("cannot write " + p);
}

std::string SimulatedBoard::readFile(const std::string& rel) const {
    return slurp(path(rel));
}

bool SimulatedBoard::exists(const std::string& rel) const {
    struct stat st {};
    return ::lstat(path(rel).c_str(), &st) == 0;
}

void SimulatedBoard::removeFile(const std::string& rel) const {
    if (::remove(path(rel).c_str()) != 0 && errno != ENOENT) fail(errnoText("remove " + rel));
}

// --- commands in the board ---------------------------------------------------------------

int SimulatedBoard::run(const std::vector<std::string>& argv, std::string* output) const {
    std::vector<std::string> full = {QF_BOARD_SANDBOX, "--state", state_, "--enter", "--"};
    full.insert(full.end(), argv.begin(), argv.end());
    return runToEnd(full, output);
}

}  // namespace qftest
