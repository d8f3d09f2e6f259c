// SPDX-License-Identifier: Apache-2.0
#include "core/child_process.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "core/constants.h"
#include "core/fd_io.h"
#include "core/log.h"
#include "core/unique_fd.h"

extern char** environ;

namespace {

// posix_spawn's attributes, released on every path.
class SpawnAttributes {
public:
    SpawnAttributes() { ok_ = ::posix_spawnattr_init(&attr_) == 0; }
    ~SpawnAttributes() {
        if (ok_) ::posix_spawnattr_destroy(&attr_);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;

    // Own process group (so a time-out can kill everything it started), empty signal mask
    // (the daemon blocks the signals its loop reads), default SIGPIPE (the daemon ignores it,
    // and an ignored signal stays ignored across exec).
    bool prepare() {
        sigset_t none;
        sigset_t pipe;
        sigemptyset(&none);
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        return ok_ && ::posix_spawnattr_setpgroup(&attr_, 0) == 0 &&
               ::posix_spawnattr_setsigmask(&attr_, &none) == 0 &&
               ::posix_spawnattr_setsigdefault(&attr_, &pipe) == 0 &&
               ::posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                                      POSIX_SPAWN_SETSIGDEF) == 0;
    }
    const posix_spawnattr_t* get() const { return &attr_; }

private:
    posix_spawnattr_t attr_{};
    bool ok_ = false;
};

std::string commandLine(const std::vector<std::string>& argv) {
    std::string text;
    for (const std::string& arg : argv) text += (text.empty() ? "" : " ") + arg;
    return text;
}

// A process as the kernel tells it apart: its number and its start time (clock ticks since
// boot). A number is used again once its process is gone; the two together are not.
struct ProcessId {
    pid_t pid;
    unsigned long long start;
    bool operator<(const ProcessId& o) const {
        return pid != o.pid ? pid < o.pid : start < o.start;
    }
};

// The parent and the start time from /proc/PID/stat: the fields after the command name in
// parentheses (which may hold spaces and parentheses itself), the state (a letter) being the
// first, all others numbers.
bool readStat(const char* pid, pid_t& parent, unsigned long long& start) {
    std::string stat;
    const UniqueFd fd = openRegularFile((std::string("/proc/") + pid + "/stat").c_str());
    if (!fd.valid() || !readUpTo(fd.get(), qf::kProcStatMax, stat)) return false;
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 3 >= stat.size()) return false;
    const char* at = stat.c_str() + close + 3;  // after ") " and the state
    char* end = nullptr;
    parent = static_cast<pid_t>(std::strtol(at, &end, 10));
    // From the parent (field 4) on to the start time (field 22).
    for (int field = 5; field <= 22 && end != at; ++field) {
        at = end;
        start = std::strtoull(at, &end, 10);
    }
    return end != at;
}

// Every process there is now, or only the daemon's children (adopted descendants included).
std::set<ProcessId> processes(bool childrenOnly) {
    std::set<ProcessId> found;
    const std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), &::closedir);
    if (!proc) return found;
    const pid_t self = ::getpid();
    while (const struct dirent* entry = ::readdir(proc.get())) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
        pid_t parent = -1;
        unsigned long long start = 0;
        if (!readStat(entry->d_name, parent, start) || (childrenOnly && parent != self)) continue;
        found.insert({static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10)), start});
    }
    return found;
}

// Kills the daemon's children that did not exist `before` the command started, and so, round
// by round, the descendants that each of them leaves to the daemon when it dies. A process
// that was already there (a helper that an earlier command left running, adopted while this
// one ran) is none of this command's and is left alone. Bounded, in case they fork faster.
int killNewChildren(const std::set<ProcessId>& before) {
    int killed = 0;
    for (int round = 0; round < qf::kKillRounds; ++round) {
        std::vector<pid_t> fresh;
        for (const ProcessId& child : processes(true)) {
            if (before.count(child) == 0) fresh.push_back(child.pid);
        }
        if (fresh.empty()) return killed;
        for (const pid_t pid : fresh) ::kill(pid, SIGKILL);
        for (const pid_t pid : fresh) {
            while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
        killed += static_cast<int>(fresh.size());
    }
    logLine("[QuillFerry] descendants still appear after %d rounds of killing", qf::kKillRounds);
    return killed;
}

}  // namespace

ChildOutcome runChild(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
    ChildOutcome outcome;
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    // What exists before the command starts is not the command's.
    const std::set<ProcessId> before = processes(false);
    SpawnAttributes attr;
    // The child's end is reported through an eventfd by a thread that waits for it, so that
    // the wait can have a time limit on any kernel.
    const UniqueFd done(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    pid_t pid = -1;
    const int rc = !attr.prepare() || !done.valid()
                       ? errno
                       : ::posix_spawn(&pid, args[0], nullptr, attr.get(), args.data(), environ);
    if (rc != 0 || pid <= 0) {
        logLine("[QuillFerry] cannot run %s: %s", argv[0].c_str(),
                std::strerror(rc != 0 ? rc : EINVAL));
        outcome.status = 127 << 8;
        return outcome;
    }

    int status = 0;
    int waitError = 0;
    std::thread reaper([pid, &status, &waitError, fd = done.get()] {
        pid_t waited = -1;
        while ((waited = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
        }
        // ECHILD when someone else took the status (a SIGCHLD that was ignored): the outcome
        // is unknown, which is never a success.
        if (waited != pid) waitError = errno != 0 ? errno : ECHILD;
        const std::uint64_t one = 1;
        // Nothing more can be done if this fails; the time limit still ends the wait.
        (void)!::write(fd, &one, sizeof(one));
    });

    const long long deadline = monotonicMs() + timeout.count();
    for (;;) {
        std::uint64_t ended = 0;
        if (::read(done.get(), &ended, sizeof(ended)) == static_cast<ssize_t>(sizeof(ended))) break;
        const long long left = deadline - monotonicMs();
        if (left <= 0) {
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);  // in case it left its process group
            outcome.timedOut = true;
            break;
        }
        struct pollfd pfd = {done.get(), POLLIN, 0};
        ::poll(&pfd, 1, static_cast<int>(left));
    }
    reaper.join();
    outcome.status = status;
    if (waitError != 0) {
        outcome.lost = true;
        logLine("[QuillFerry] cannot learn how %s ended: %s", commandLine(argv).c_str(),
                std::strerror(waitError));
    }
    if (outcome.timedOut) {
        logLine("[QuillFerry] %s did not finish within %lld s: killed", commandLine(argv).c_str(),
                static_cast<long long>(timeout.count() / 1000));
        const int more = killNewChildren(before);
        if (more > 0)
            logLine("[QuillFerry] killed %d processes that %s left", more, argv[0].c_str());
    }
    return outcome;
}

void reapAdopted() {
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}
