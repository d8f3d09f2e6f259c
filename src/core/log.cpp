// SPDX-License-Identifier: Apache-2.0
#include "core/log.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "core/constants.h"
#include "core/fd_io.h"
#include "protocol/utf8.h"

namespace {

void appendHex(std::string& out, const char* prefix, unsigned long value, int digits) {
    char text[24];
    std::snprintf(text, sizeof(text), "%s%0*lx", prefix, digits, value);
    out += text;
}

// Keeps well-formed UTF-8 that is no control character; escapes the rest.
std::string escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t start = pos;
        const long cp = nextCodePoint(text, pos);
        if (cp >= 0 && !isControlCharacter(cp)) {
            out.append(text.substr(start, pos - start));
        } else if (cp == '\n') {
            out += "\\n";
        } else if (cp == '\t') {
            out += "\\t";
        } else if (cp == '\r') {
            out += "\\r";
        } else if (cp >= 0x80) {
            // A C1 control or a separator, written as the code point it is.
            appendHex(out, "\\u", static_cast<unsigned long>(cp), 4);
        } else {
            appendHex(out, "\\x", static_cast<unsigned char>(text[start]), 2);
        }
    }
    return out;
}

// Lines of a thread that defers its wake-ups (DeferredLogWakeups) do not wake the writer.
thread_local bool deferredWakeups = false;

// The writer thread and the bounded buffer in front of it.
class LogWriter {
public:
    void push(int fd, std::string text) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!started_ && !start()) {
            ++dropped_;
            return;
        }
        if (dropped_ > 0) {
            std::string note = logText("[QuillFerry] log: " + std::to_string(dropped_) +
                                       " lines dropped while the log took none");
            if (bytes_ + note.size() + text.size() > qf::kLogBufferBytes) {
                ++dropped_;
                return;
            }
            dropped_ = 0;
            enqueue(STDERR_FILENO, std::move(note));
        } else if (bytes_ + text.size() > qf::kLogBufferBytes) {
            ++dropped_;
            return;
        }
        enqueue(fd, std::move(text));
        // A thread that defers its wake-ups still wakes the writer before the buffer fills,
        // and makes it write at once.
        if (bytes_ >= qf::kLogBufferBytes / 2) {
            hurryLocked();
        } else if (!deferredWakeups) {
            wakeLocked();
        }
    }

    void wake() {
        const std::lock_guard<std::mutex> lock(mutex_);
        wakeLocked();
    }

    bool flush(int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        hurryLocked();
        return drained_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [this] { return bytes_ == 0; });
    }

    void catchUp() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (stalled_ || bytes_ == 0) return;
        hurryLocked();
        stalled_ = !drained_.wait_for(lock, std::chrono::milliseconds(qf::kLogCatchUpMs),
                                      [this] { return bytes_ == 0; });
    }

private:
    struct Entry {
        int fd;
        std::string text;
    };

    // Called with the lock held.
    bool start() {
        try {
            std::thread(&LogWriter::run, this).detach();
        } catch (const std::system_error&) {
            return false;
        }
        started_ = true;
        // What is still in the buffer when the process ends normally goes out first, unless
        // the log takes nothing.
        std::atexit([] { flushLog(qf::kLogFlushAtExitMs); });
        return true;
    }

    // Called with the lock held.
    void enqueue(int fd, std::string text) {
        bytes_ += text.size();
        queue_.push_back({fd, std::move(text)});
    }

    // Called with the lock held. The writer is woken only from its wait: while it lingers or
    // writes, it finds what was queued meanwhile by itself.
    void wakeLocked() {
        if (!idle_ || queue_.empty()) return;
        idle_ = false;
        ready_.notify_one();
    }

    // Called with the lock held: the writer writes what waits without lingering.
    void hurryLocked() {
        if (queue_.empty() || hurry_) return;
        hurry_ = true;
        idle_ = false;
        ready_.notify_one();
    }

    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            // Lines handed over before it started are written without waiting to be woken.
            idle_ = queue_.empty();
            ready_.wait(lock, [this] { return !idle_; });
            // Woken for a line, it waits a little for those that follow (a busy line logs a
            // line per request), so that it writes and wakes the log's reader once for them
            // all rather than for each.
            ready_.wait_for(lock, std::chrono::milliseconds(qf::kLogLingerMs),
                            [this] { return hurry_; });
            while (!queue_.empty()) {
                std::deque<Entry> batch;
                batch.swap(queue_);
                lock.unlock();
                const std::size_t written = writeBatch(batch);
                lock.lock();
                bytes_ -= written;
            }
            hurry_ = false;
            stalled_ = false;
            drained_.notify_all();
        }
    }

    // Writes the lines in order, runs of lines for one descriptor with one call each (of at
    // most kLogWriteBytes, so that the copy stays small); returns their bytes. Blocking, as the
    // descriptors are; a log that is gone (a closed pipe) loses the lines, and the daemon goes
    // on.
    static std::size_t writeBatch(const std::deque<Entry>& batch) {
        std::size_t total = 0;
        std::string run;
        run.reserve(qf::kLogWriteBytes);
        for (std::size_t i = 0; i < batch.size(); ++i) {
            run += batch[i].text;
            const bool more = i + 1 < batch.size() && batch[i + 1].fd == batch[i].fd &&
                              run.size() + batch[i + 1].text.size() <= qf::kLogWriteBytes;
            if (more) continue;
            (void)writeAll(batch[i].fd, run);
            total += run.size();
            run.clear();
        }
        return total;
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable drained_;
    std::deque<Entry> queue_;
    std::size_t bytes_ = 0;  // queued and being written
    std::size_t dropped_ = 0;
    bool started_ = false;
    bool idle_ = false;     // the writer waits to be woken
    bool hurry_ = false;    // it is to write without lingering
    bool stalled_ = false;  // a catch-up found it taking nothing; no more waits until drained
};

LogWriter& writer() {
    // Never destroyed (hence new): threads may still log while the process ends.
    static LogWriter* const instance = new LogWriter;
    return *instance;
}

void writeLine(int fd, const char* format, std::va_list args) {
    std::va_list again;
    va_copy(again, args);
    char small[512];
    const int n = std::vsnprintf(small, sizeof(small), format, args);
    if (n < 0) {
        va_end(again);
        return;
    }
    std::string message;
    if (static_cast<std::size_t>(n) < sizeof(small)) {
        message.assign(small, static_cast<std::size_t>(n));
    } else {
        message.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(message.data(), message.size(), format, again);
        message.resize(static_cast<std::size_t>(n));
    }
    va_end(again);
    writer().push(fd, logText(message));
}

}  // namespace

std::string logText(std::string_view message) {
    return escape(message) + '\n';
}

std::string visible(std::string_view value) {
    return escape(value);
}

void logLine(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    writeLine(STDERR_FILENO, format, args);
    va_end(args);
}

void logOutput(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    writeLine(STDOUT_FILENO, format, args);
    va_end(args);
}

bool flushLog(int timeoutMs) {
    return writer().flush(timeoutMs);
}

void catchUpLog() {
    writer().catchUp();
}

void wakeLogWriter() {
    writer().wake();
}

DeferredLogWakeups::DeferredLogWakeups() : outer_(deferredWakeups) {
    deferredWakeups = true;
}

DeferredLogWakeups::~DeferredLogWakeups() {
    deferredWakeups = outer_;
    if (!outer_) wakeLogWriter();
}
