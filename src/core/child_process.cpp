#include "core/child_process.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>

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

    // Own process group (so a time-out can kill everything it started), empty signal mask,
    // default SIGPIPE (the daemon ignores it, and an ignored signal stays ignored across exec).
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

}  // namespace

void waitForFdOnly(int fd, int timeoutMs) {
    struct pollfd pfd = {fd, POLLIN, 0};
    ::poll(&pfd, 1, timeoutMs);
}

ChildOutcome runChild(const std::vector<std::string>& argv, const ChildLimits& limits) {
    ChildOutcome outcome;
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    SpawnAttributes attr;
    // The child's end is reported through an eventfd, so that the caller can wait for it
    // together with the serial line.
    const UniqueFd done(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    pid_t pid = -1;
    const int rc = !attr.prepare() || !done.valid()
                       ? errno
                       : ::posix_spawn(&pid, args[0], nullptr, attr.get(), args.data(), environ);
    if (pid <= 0) {
        logLine("[QuillFerry] cannot run %s: %s", argv[0].c_str(),
                std::strerror(rc != 0 ? rc : EINVAL));
        outcome.status = 127 << 8;
        return outcome;
    }

    int status = 0;
    std::thread reaper([pid, &status, fd = done.get()] {
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        const std::uint64_t one = 1;
        // Nothing more can be done if this fails; the caller's time limit still ends the wait.
        (void)!::write(fd, &one, sizeof(one));
    });

    const long long deadline = monotonicMs() + limits.timeout.count();
    for (;;) {
        std::uint64_t ended = 0;
        if (::read(done.get(), &ended, sizeof(ended)) == static_cast<ssize_t>(sizeof(ended))) break;
        const long long left = deadline - monotonicMs();
        if (left <= 0) {
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);  // in case it left its process group
            outcome.timedOut = true;
            logLine("[QuillFerry] %s did not finish within %lld s: killed",
                    commandLine(argv).c_str(),
                    static_cast<long long>(limits.timeout.count() / 1000));
            break;
        }
        limits.wait(done.get(), static_cast<int>(left));
    }
    reaper.join();
    outcome.status = status;
    return outcome;
}
