// SPDX-License-Identifier: Apache-2.0
// The built quillferry-exporter on a loopback port of its own, HTTP requests to it through
// curl, and the bcrypt hash its web configuration holds for a password.
#pragma once

#include <crypt.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "board.h"
#include "spawned.h"

struct HttpAnswer {
    int status = 0;  // 0: no answer
    std::string body;
    double seconds = 0;
};

// Whether `line` is a whole line of `text`; a failure prints both.
inline ::testing::AssertionResult hasLine(const std::string& text, const std::string& line) {
    if (("\n" + text).find("\n" + line + "\n") != std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no line \"" << line << "\" in:\n" << text;
}

class ExporterProcess : public Spawned {
public:
    // Starts QF_EXPORTER_PATH with `args` on 127.0.0.1:0, its log at `log`; waits until it
    // says where it listens, throws when it does not.
    ExporterProcess(std::vector<std::string> args, std::string logPath) : log_(std::move(logPath)) {
        args.insert(args.begin(), {QF_EXPORTER_PATH, "--web.listen-address", "127.0.0.1:0"});
        start(args, log_, true);
        for (int i = 0; i < 200 && port_ == 0 && wait(20) < 0; ++i) {
            const std::string text = log();
            // The whole line: the log may be read while it is being written.
            const std::size_t at = text.find("listening on 127.0.0.1:");
            if (at != std::string::npos && text.find('\n', at) != std::string::npos)
                port_ = std::atoi(text.c_str() + at + 23);
        }
        if (port_ == 0) throw std::runtime_error("the exporter did not start: " + log());
    }

    int port() const { return port_; }
    std::string url(const std::string& path, const char* scheme = "http") const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::string log() const { return qftest::readText(log_); }
    void signal(int sig) const { ::kill(pid(), sig); }

private:
    std::string log_;
    int port_ = 0;
};

// A GET through curl with `options` (shell-quoted by the caller), its body kept in `scratch`.
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
    a.body = qftest::readText(scratch);
    return a;
}

// A bcrypt hash of `password` at the lowest cost.
inline std::string bcrypt(const std::string& password) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    crypt_data data{};
    if (crypt_gensalt_rn("$2y$", 4, nullptr, 0, setting, sizeof(setting)) == nullptr) return "";
    const char* hash = crypt_rn(password.c_str(), setting, &data, sizeof(data));
    return hash != nullptr ? hash : "";
}
