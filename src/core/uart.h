// SPDX-License-Identifier: Apache-2.0
// The serial line to the controller: raw 115200 8N1. Lines are read through a framer of our
// own over a non-blocking descriptor, so that the daemon can look at the line while it waits
// for something else (an interface restart) and never blocks on it.
#pragma once

#include <string>

#include "core/line_framer.h"
#include "core/unique_fd.h"

class Uart {
public:
    explicit Uart(const char* path);
    // Serves lines from `input` until its end and writes to `output`: the request path
    // without a device, for fuzzing.
    Uart(UniqueFd input, UniqueFd output);
    Uart(const Uart&) = delete;
    Uart& operator=(const Uart&) = delete;

    // Waits for one line and copies it into `buf`: up to `size` - 1 bytes (the newline kept
    // when it fits), then a zero byte. Returns `size` when a line was read, 0 when the device
    // gave end of input or an error, -1 when the port is not open. The rest of a line that
    // did not fit is dropped, never returned as a line of its own. The device's troubles
    // (missing, failing, working again) go to standard output once per change.
    int Read(char* buf, int size);

    // Writes all `len` bytes. Returns `len`, or -1 when the port is not open or the device
    // refused the bytes or took none for several seconds. Replies are whole lines on the
    // wire: when some bytes of one went out before it was given up, the next write ends that
    // line first.
    int Write(const char* data, int len);

    int GetFd() const { return portFd.get(); }
    bool IsOpen() const { return portFd.valid(); }
    // Closes the device if open and opens it again; true when it is open afterwards.
    bool Reopen();

    enum class Fill { Data, NoData, End };
    // Takes in what has arrived, without waiting. End: end of input or an error.
    Fill fill();
    // The next whole line taken in so far (see LineFramer).
    bool nextLine(std::string& line) { return framer_.next(line); }

private:
    void open();

    // What was last said about the device. Said once per change, with the path and the
    // system's reason, not on every attempt.
    enum class State { Unknown, Open, Missing, Failing };
    void report(State state, const std::string& why);

    std::string path_;
    UniqueFd portFd;
    // Where replies go when it is not the device itself (fuzzing).
    UniqueFd outputFd_;
    LineFramer framer_;
    State state_ = State::Unknown;
    std::string why_;
    bool writeFailing_ = false;
    bool lineOpen_ = false;  // the last write was given up inside a line
};
