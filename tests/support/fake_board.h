// SPDX-License-Identifier: Apache-2.0
// A board's serial line played by a test: a pty whose slave a console server opens as the
// board's device, and whose master a thread serves, keeping each line and answering it with
// the test's function.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_console.h"
#include "quillferry/request.h"
#include "raw_pty.h"

class FakeBoard {
public:
    using Answer = std::function<std::string(const std::string& line)>;

    // The probe's acknowledgement, or `{"ret_val":0,"uuid":...}` echoing a request's uuid.
    static std::string boardAnswer(const std::string& line) {
        if (line == qfclient::probeLine()) return qfclient::probeAck();
        const std::string uuid = FakeConsole::uuidOf(line);
        return uuid.empty() ? "" : "{\"ret_val\":0,\"uuid\":" + uuid + "}\n";
    }
    // Every line back as it came, byte for byte.
    static std::string echo(const std::string& line) { return line; }

    explicit FakeBoard(Answer answer = boardAnswer)
        : pty_(openRawPty()), answer_(std::move(answer)) {
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeBoard() {
        stop_ = true;
        thread_.join();
    }
    FakeBoard(const FakeBoard&) = delete;
    FakeBoard& operator=(const FakeBoard&) = delete;

    // The board's device, for the console server.
    const std::string& device() const { return pty_.slavePath; }
    // Every line that came so far (with its newline).
    std::vector<std::string> lines() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    // Bytes that came without a newline yet.
    std::string partial() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return partial_;
    }

private:
    void serve() {
        pollfd p = {pty_.master.get(), POLLIN, 0};
        char buf[4096];
        while (!stop_) {
            if (::poll(&p, 1, 50) != 1) continue;
            const ssize_t n = ::read(pty_.master.get(), buf, sizeof(buf));
            if (n <= 0) continue;
            std::vector<std::string> complete;
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                partial_.append(buf, static_cast<std::size_t>(n));
                for (std::size_t nl; (nl = partial_.find('\n')) != std::string::npos;) {
                    complete.push_back(partial_.substr(0, nl + 1));
                    partial_.erase(0, nl + 1);
                }
                lines_.insert(lines_.end(), complete.begin(), complete.end());
            }
            for (const std::string& line : complete) {
                const std::string reply = answer_(line);
                if (!reply.empty() && ::write(pty_.master.get(), reply.data(), reply.size()) < 0)
                    return;
            }
        }
    }

    RawPty pty_;
    Answer answer_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::string partial_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
