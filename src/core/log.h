// SPDX-License-Identifier: Apache-2.0
// The daemon's log: one call writes one whole line. The texts are the system's own, some with
// the "[QuillFerry] " prefix and some without; the helper adds only the line feed.
//
// A line is never written by the caller. It is handed to a writer thread through a bounded
// buffer, so that a log nobody reads (a stalled journald, a full pipe) can never stop the
// serial line: when the buffer is full the line is dropped and counted, and once the log takes
// lines again the count is reported in a line of its own. Lines of both streams keep their
// order, and the descriptors stay blocking for the programs that inherit them. The command
// loop's thread does not wake the writer for each line: its lines go out once it waits for
// the line again, or before a reply that follows them (catchUpLog).
//
// Every message is exactly one line: control characters (C0, DEL, C1), U+2028 and U+2029 and
// bytes that are not UTF-8 are written escaped (\n, \t, \xHH, \u2028), whatever a request or
// a file put into the values.
#pragma once

#include <string>
#include <string_view>

// A line on standard error, where the daemon's log goes.
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A line on standard output, where the serial port's messages and the replies echoed in
// debug mode go.
void logOutput(const char* format, ...) __attribute__((format(printf, 1, 2)));

// `value` with every byte that could end or forge a line escaped, a zero byte included: for
// values that are logged with %s and may hold zero bytes (a request's texts are judged on
// their whole length, and logged so).
std::string visible(std::string_view value);

// Waits until the lines handed over so far are written, but no longer than `timeoutMs`; false
// when some are left. For an orderly exit.
bool flushLog(int timeoutMs);

// Lets the log catch up before a reply goes out, so that a request's log lines come before
// its reply in the journal: waits while the log takes lines, a few milliseconds at most, and
// not at all while it is known to take none.
void catchUpLog();

// While one lives, the lines its thread logs do not wake the writer thread one by one: they
// wait for the thread's next wakeLogWriter() (before it sleeps), a reply's catchUpLog(), or
// half the buffer to fill. So a request and its reply on the serial line pay no wake-up of
// another thread in between. At its end the writer is woken for what is left.
class DeferredLogWakeups {
public:
    DeferredLogWakeups();
    ~DeferredLogWakeups();
    DeferredLogWakeups(const DeferredLogWakeups&) = delete;
    DeferredLogWakeups& operator=(const DeferredLogWakeups&) = delete;

private:
    bool outer_;
};

// Wakes the writer thread for the lines handed over so far, if any wait.
void wakeLogWriter();

// The bytes that go out for one message (escaped, with its line feed). Pure; for tests.
std::string logText(std::string_view message);
