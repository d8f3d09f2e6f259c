// SPDX-License-Identifier: Apache-2.0
// The built quillferry-exporter started by a test on a loopback port of its own, and HTTP
// requests to it through curl. Stopped (SIGTERM, then SIGKILL) when the test ends.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

struct HttpAnswer {
    int status = 0;  // 0: no answer
    std::string body;
    double seconds = 0;
};

class ExporterProcess {
public:
    // Starts `program` with `args` and --web.listen-address 127.0.0.1:0; its log goes to
    // `log`. Waits until it says where it listens; throws when it does not.
    ExporterProcess(const std::string& program, std::vector<std::string> args, std::string logPath)
        : log_(std::move(logPath)) {
        args.insert(args.begin(), {program, "--web.listen-address", "127.0.0.1:0"});
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 2, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        const int rc = posix_spawn(&pid_, program.c_str(), &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) throw std::runtime_error("cannot start " + program);
        for (int i = 0; i < 200 && port_ == 0; ++i) {
            const std::string text = log();
            // The whole line: the log may be read while it is being written.
            const std::size_t at = text.find("listening on 127.0.0.1:");
            if (at != std::string::npos && text.find('\n', at) != std::string::npos)
                port_ = std::atoi(text.c_str() + at + 23);
            if (port_ == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (port_ == 0 && exited()) break;
        }
        if (port_ == 0) throw std::runtime_error("the exporter did not start: " + log());
    }
    ~ExporterProcess() { stop(); }
    ExporterProcess(const ExporterProcess&) = delete;
    ExporterProcess& operator=(const ExporterProcess&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& path, const char* scheme = "http") const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::string log() const {
        std::ifstream in(log_);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    void signal(int sig) const { ::kill(pid_, sig); }
    // The exit status once it ended by itself within `timeoutMs`, -1 if it still runs.
    int wait(int timeoutMs) {
        for (int waited = 0; waited <= timeoutMs; waited += 10) {
            if (exited()) return status_;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }
    // Stops it with SIGTERM (SIGKILL after 5 s); its exit status, 0 for an orderly stop.
    int stop() {
        if (pid_ > 0 && !exited()) {
            ::kill(pid_, SIGTERM);
            if (wait(5000) < 0) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
                pid_ = -1;
                status_ = 128 + SIGKILL;
            }
        }
        return status_;
    }

private:
    bool exited() {
        if (pid_ <= 0) return true;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid_ = -1;
        return true;
    }

    std::string log_;
    pid_t pid_ = -1;
    int port_ = 0;
    int status_ = -1;
};

// A GET through curl (`options` added to its command line, shell-quoted by the caller), its
// body kept in `scratch`.
inline HttpAnswer httpGet(const std::string& url, const std::string& scratch,
                          const std::string& options = "") {
    const std::string command = "curl -s -g -o '" + scratch + "' -w '%{http_code} %{time_total}' " +
                                options + " '" + url + "'";
    HttpAnswer a;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char out[64] = {};
        if (std::fgets(out, sizeof(out), p) != nullptr)
            std::sscanf(out, "%d %lf", &a.status, &a.seconds);
        ::pclose(p);
    }
    std::ifstream in(scratch);
    a.body.assign(std::istreambuf_iterator<char>(in), {});
    return a;
}
