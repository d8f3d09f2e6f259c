// SPDX-License-Identifier: Apache-2.0
// A program that a test starts (stdin /dev/null, output to a log file) and stops (SIGTERM,
// SIGKILL after a second) and reaps; QF_REQUIRE skips a test that lacks what it needs.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fake_console.h"

extern char** environ;

// Skips the test when `why` (a std::string) says something is missing, but fails it where CI
// is set: there a skipped test must never pass for a tested one.
#define QF_REQUIRE(why)                                              \
    do {                                                             \
        const std::string qfWhy = (why);                             \
        if (!qfWhy.empty()) {                                        \
            if (std::getenv("CI") != nullptr) GTEST_FAIL() << qfWhy; \
            GTEST_SKIP() << qfWhy;                                   \
        }                                                            \
    } while (false)

// The first of `programs` not found on PATH, as QF_REQUIRE says it; empty when all are.
inline std::string missingProgram(std::initializer_list<const char*> programs) {
    for (const char* p : programs) {
        if (std::system(("command -v " + std::string(p) + " >/dev/null").c_str()) != 0)
            return std::string(p) + " is missing (see tools/install-deps)";
    }
    return "";
}

class Spawned {
public:
    Spawned() = default;
    Spawned(const std::vector<std::string>& argv, const std::string& log, bool onlyErr = false) {
        start(argv, log, onlyErr);
    }
    ~Spawned() { stop(); }
    Spawned(const Spawned&) = delete;
    Spawned& operator=(const Spawned&) = delete;

    // Its stderr (and stdout, unless `onlyErr`) appended to `log`; throws when it cannot start.
    void start(const std::vector<std::string>& argv, const std::string& log, bool onlyErr = false) {
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (onlyErr) {
            posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        } else {
            posix_spawn_file_actions_adddup2(&fa, 2, 1);
        }
        const int rc = posix_spawnp(&pid_, args[0], &fa, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) {
            pid_ = -1;
            throw std::runtime_error("cannot start " + argv[0]);
        }
    }
    // Its exit status (128 + signal) once it ended within `timeoutMs`; -1 while it runs.
    int wait(int timeoutMs) {
        for (int waited = 0; pid_ > 0; waited += 10) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            } else if (waited >= timeoutMs) {
                return -1;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        return status_;
    }
    // Stops it with `sig` (SIGKILL after a second); its exit status, 0 for an orderly stop.
    int stop(int sig = SIGTERM) {
        if (pid_ > 0 && wait(0) < 0) {
            ::kill(pid_, sig);
            if (wait(1000) < 0) {
                ::kill(pid_, SIGKILL);
                wait(5000);
            }
        }
        return status_;
    }
    pid_t pid() const { return pid_; }

    // Whether something takes connections on the loopback port within 5 s.
    static bool waitForPort(int port) {
        for (int i = 0; i < 500; ++i) {
            if (loopbackSocket(port).valid()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    // A loopback port that was free a moment ago.
    static int freePort() {
        int port = 0;
        loopbackSocket(0, &port);
        return port;
    }

private:
    pid_t pid_ = -1;
    int status_ = -1;
};
