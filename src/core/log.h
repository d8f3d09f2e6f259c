// The daemon's log: one call writes one whole line. The texts are the system's own, some with
// the "[QuillFerry] " prefix and some without; the helper adds only the line feed, and writes
// the line in one piece so that lines of the two threads never mix.
#pragma once

// A line on standard error, where the daemon's log goes.
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A line on standard output, where the serial port's messages and the replies echoed in
// debug mode go. Standard output is line-buffered (setLogBuffering), so the journal sees
// these lines at once and in order with standard error.
void logOutput(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Makes standard output line-buffered; called once at start-up.
void setLogBuffering();
