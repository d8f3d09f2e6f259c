// SPDX-License-Identifier: Apache-2.0
// The command loop: one line from the serial port, the probe or one JSON request, one
// handler, forever. While a handler waits for ifdown or ifup, the loop still answers the
// probe at once and keeps other requests, in order, for afterwards.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

#include "core/aside.h"
#include "core/unique_fd.h"

class Platform;
class Uart;

// Sets the environment half of the debug switch from QUILLFERRY_DEBUG: on when the value
// starts with the four letters "true".
void set_debug_flag(Platform* platform);

// What became of one request text.
enum class Served {
    Nothing,  // empty text, not JSON, not an object, no string "cmd": no reply
    Probe,    // the liveness probe, acknowledged
    Request,  // handed to the handler of its "cmd", which replied
    Unknown,  // an unknown command: no reply
    Dropped,  // refused before parsing (too deep) or a handler failed: no reply
};

// Serves one request text (the bytes of one line up to the first zero byte): answers the
// probe, or parses the text and calls the handler its "cmd" names. Never throws.
Served serveRequest(Platform& platform, Uart& uart, const std::string& text);

class CommandLoop {
public:
    // Reads the signals of loopSignals() (core/process_setup.h) from a descriptor; they reach
    // it where the caller blocked them.
    explicit CommandLoop(Uart& uart);

    // What a handler waits with for what it runs aside: waitForFd on this loop, which answers
    // the probe meanwhile. For the platform object's construction.
    WaitForFd lineWait() {
        return [this](int fd, int timeoutMs) { waitForFd(fd, timeoutMs); };
    }

    // Reads and serves lines for `platform` until SIGTERM or SIGINT. A signal during a request
    // stops the loop once that request is answered; requests still waiting are dropped
    // (logged). Pauses and reopens the device while it is missing or failing, so the loop
    // never spins. Returns the exit status.
    int run(Platform& platform);

    // Serves the next line: one that arrived while a handler ran, or else one read from the
    // port (waiting for it). False at the end of the input, when the port fails or once a stop
    // was asked for; `served` then is Nothing.
    bool serveNext(Platform& platform, Served& served);

    // Waits until `fd` is readable or `timeoutMs` have passed (negative: no limit); meanwhile
    // answers the probe and keeps other lines for serveNext. Handlers wait so for what they
    // run aside.
    void waitForFd(int fd, int timeoutMs);

private:
    // The line as read, while the debug switch is on.
    void logRead(const std::string& line) const;
    Served serveLine(const std::string& line);
    void keepForLater(std::string line);
    // Waits for a whole line from the port. False at the end of the input, on an error, or
    // once a stop was asked for.
    bool readLine(std::string& line);
    // Sleeps `ms`, or less when a stop is asked for.
    void pause(int ms);
    // Takes in the signals that arrived. Adopted children are reaped at once unless a request
    // is being served (its command's status must not be taken), else afterwards.
    void takeSignals(bool mayReap);

    Uart& uart_;
    Platform* platform_ = nullptr;  // the one being served
    std::deque<std::string> waiting_;
    UniqueFd signals_;
    bool stopping_ = false;
    bool reapPending_ = false;
};
