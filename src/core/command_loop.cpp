// SPDX-License-Identifier: Apache-2.0
#include "core/command_loop.h"

#include <json/json.h>
#include <poll.h>
#include <sys/signalfd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "core/aside.h"
#include "core/c_string.h"
#include "core/child_process.h"
#include "core/constants.h"
#include "core/fd_io.h"
#include "core/log.h"
#include "core/platform.h"
#include "core/process_setup.h"
#include "core/reply.h"
#include "core/uart.h"
#include "protocol/json_text.h"

void set_debug_flag(Platform* platform) {
    const char* value = std::getenv(qf::kDebugEnv);
    platform->setDebugFlag(value != nullptr && std::strncmp(value, "true", 4) == 0);
}

namespace {

bool isProbe(const std::string& text) {
    return text.compare(0, qf::kProbeLength, qf::kProbe) == 0;
}

void answerProbe(Uart& uart) {
    logLine("[QuillFerry] quillferry status check");
    uart.Write(qf::kProbeAck, static_cast<int>(qf::kProbeAckSize));
}

// The request text of a line: its bytes up to the first zero byte.
std::string requestText(const std::string& line) {
    return upToZeroByte(line);
}

}  // namespace

CommandLoop::CommandLoop(Uart& uart, const std::vector<Command>& commands)
    : uart_(uart), commands_(commands) {
    const sigset_t set = loopSignals();
    signals_.reset(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!signals_.valid())
        logLine("[QuillFerry] cannot read signals: %s; SIGTERM ends the daemon at once",
                std::strerror(errno));
}

void CommandLoop::logRead(const std::string& line) const {
    // The line's own newline ends it; it is not a character of the request.
    if (platform_ != nullptr && platform_->getDebugFlag())
        logLine("[QuillFerry] Read From Uart Data:%s", loggedLine(line).c_str());
}

Served CommandLoop::serveLine(const std::string& line) {
    logRead(line);
    return serveText(requestText(line));
}

Served CommandLoop::serveText(const std::string& text) {
    if (text.empty()) return Served::Nothing;
    if (isProbe(text)) {
        answerProbe(uart_);
        return Served::Probe;
    }
    // Handlers may meet what the JSON library refuses; one bad request must never end the
    // daemon.
    try {
        Json::Value root;
        std::string refusal;
        if (!parseJson(text, root, &refusal)) {
            if (refusal.empty()) return Served::Nothing;
            logLine("[QuillFerry] request dropped: %s", refusal.c_str());
            return Served::Dropped;
        }
        if (!root.isObject()) return Served::Nothing;
        const Json::Value& cmd = root["cmd"];
        if (!cmd.isString()) {
            logLine("read fail");
            return Served::Nothing;
        }
        const std::string name = cmd.asString();
        const auto command = std::find_if(commands_.begin(), commands_.end(),
                                          [&name](const Command& c) { return c.name == name; });
        if (command == commands_.end()) {
            logLine("[QuillFerry] Unkown command");
            return Served::Unknown;
        }
        const Handled handled = command->handle(platform_->board(), root);
        const Answer answer = handled.work() ? runBeside(handled.work()) : handled.answer();
        sendAnswer(uart_, answer, platform_->getDebugFlag());
        return Served::Request;
    } catch (const std::exception& e) {
        logLine("[QuillFerry] request dropped: %s", e.what());
    } catch (...) {
        logLine("[QuillFerry] request dropped: unknown exception");
    }
    return Served::Dropped;
}

Answer CommandLoop::runBeside(const std::function<Answer()>& work) {
    Answer answer;
    Aside aside([&answer, &work] { answer = work(); });
    while (!aside.done()) waitForFd(aside.doneFd());
    aside.finish();
    return answer;
}

void CommandLoop::takeSignals(bool mayReap) {
    struct signalfd_siginfo info {};
    while (signals_.valid() && ::read(signals_.get(), &info, sizeof(info)) == sizeof(info)) {
        if (info.ssi_signo == SIGCHLD) {
            reapPending_ = true;
        } else if (!stopping_) {
            stopping_ = true;
            logLine("[QuillFerry] %s: stopping once the request in progress is answered",
                    info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM");
        }
    }
    if (mayReap && reapPending_) {
        reapPending_ = false;
        reapAdopted();
    }
}

bool CommandLoop::readLine(std::string& line) {
    if (uart_.nextLine(line)) {
        // Taken in before: what was signalled since comes first.
        takeSignals(true);
        return !stopping_;
    }
    do {
        if (stopping_) return false;
        struct pollfd fds[2] = {{uart_.GetFd(), POLLIN, 0}, {signals_.get(), POLLIN, 0}};
        wakeLogWriter();  // what this turn logged, now that its reply is out
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return false;
        if (fds[1].revents != 0) takeSignals(true);
        if (fds[0].revents != 0 && uart_.fill() == Uart::Fill::End) return false;
    } while (!uart_.nextLine(line));
    return !stopping_;
}

bool CommandLoop::serveNext(Platform& platform, Served& served) {
    platform_ = &platform;
    served = Served::Nothing;
    if (stopping_) return false;
    if (!waiting_.empty()) {
        takeSignals(true);  // what arrived while the request before was served
        if (stopping_) return false;
        const std::string line = std::move(waiting_.front());
        waiting_.pop_front();
        served = serveLine(line);
        return true;
    }
    if (!uart_.IsOpen()) return false;
    std::string line;
    if (!readLine(line)) return false;
    // The line may hold zero bytes; the request text ends at the first.
    served = serveLine(line);
    return true;
}

void CommandLoop::pause(int ms) {
    const long long deadline = monotonicMs() + ms;
    for (long long left = ms; left > 0 && !stopping_; left = deadline - monotonicMs()) {
        struct pollfd pfd = {signals_.get(), POLLIN, 0};
        wakeLogWriter();
        if (::poll(&pfd, 1, static_cast<int>(left)) > 0) takeSignals(true);
    }
}

int CommandLoop::run(Platform& platform) {
    // The log's writer is woken when the loop waits, not between a request and its reply.
    const DeferredLogWakeups deferred;
    int failurePauseMs = qf::kReadFailurePauseMs;
    while (!stopping_) {
        set_debug_flag(&platform);
        Served served = Served::Nothing;
        const bool servedLine = serveNext(platform, served);
        // Signals that arrived meanwhile wake the next wait for the line; only the adopted
        // children that a wait beside the request saw end are reaped now.
        if (reapPending_) takeSignals(true);
        if (servedLine || stopping_) {
            failurePauseMs = qf::kReadFailurePauseMs;
            continue;
        }
        if (!uart_.IsOpen()) {
            // No device: try again about once a second, so a late device is still served.
            pause(qf::kReopenPauseMs);
        } else {
            // End of input or an error (hang-up): back off, then start afresh on the device.
            pause(failurePauseMs);
            failurePauseMs = std::min(failurePauseMs * 2, qf::kReopenPauseMs);
        }
        if (!stopping_) uart_.Reopen();
    }
    if (!waiting_.empty())
        logLine("[QuillFerry] stopping: %zu waiting requests dropped", waiting_.size());
    logLine("[QuillFerry] quillferry stop");
    return 0;
}

void CommandLoop::keepForLater(std::string line) {
    if (waiting_.size() >= qf::kWaitingRequestsMax) {
        logLine("[QuillFerry] busy: %zu requests already wait, line dropped", waiting_.size());
        return;
    }
    waiting_.push_back(std::move(line));
}

void CommandLoop::waitForFd(int fd) {
    bool lineOpen = uart_.IsOpen();
    for (;;) {
        // Lines already taken in count as well as those still arriving.
        for (std::string line; uart_.nextLine(line);) {
            const std::string text = requestText(line);
            if (isProbe(text)) {
                logRead(line);
                answerProbe(uart_);
            } else if (!text.empty()) {
                keepForLater(line);
            }
        }
        struct pollfd fds[3] = {
            {fd, POLLIN, 0}, {signals_.get(), POLLIN, 0}, {uart_.GetFd(), POLLIN, 0}};
        wakeLogWriter();
        const int ready = ::poll(fds, lineOpen ? 3 : 2, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0 || fds[0].revents != 0) return;
        if (fds[1].revents != 0) takeSignals(false);
        // A line that hung up is left alone until the handler is done: the loop reopens it.
        if (fds[2].revents != 0 && uart_.fill() == Uart::Fill::End) lineOpen = false;
    }
}
