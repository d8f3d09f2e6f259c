// SPDX-License-Identifier: Apache-2.0
// A program that a test starts and stops: standard input from /dev/null, its output to a
// log file, stopped (SIGTERM, then SIGKILL after a second) and reaped when the test is done.
// waitForPort() waits until it takes connections on a loopback port.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fake_console.h"

extern char** environ;

class Spawned {
public:
    Spawned() = default;
    Spawned(const std::vector<std::string>& argv, const std::string& log) { start(argv, log); }
    ~Spawned() { stop(); }
    Spawned(const Spawned&) = delete;
    Spawned& operator=(const Spawned&) = delete;

    // Throws std::runtime_error when it cannot be started.
    void start(const std::vector<std::string>& argv, const std::string& log) {
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        const int rc = posix_spawnp(&pid_, args[0], &fa, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) {
            pid_ = -1;
            throw std::runtime_error("cannot start " + argv[0]);
        }
    }
    void stop(int sig = SIGTERM) {
        if (pid_ <= 0) return;
        ::kill(pid_, sig);
        for (int i = 0; i < 100; ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
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
};
