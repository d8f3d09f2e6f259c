// SPDX-License-Identifier: Apache-2.0
// The command loop: one line from the serial port, the probe or one JSON request, the
// handler that the dispatch table names for its "cmd", and the handler's answer sent, forever.
// It owns every wait: while a handler's work runs beside the line (ifdown, ifup), the loop
// still answers the probe at once and keeps other requests, in order, for afterwards.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "core/handler.h"
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

class CommandLoop {
public:
    // Serves the commands of `commands` (core/command_table.h). Reads the signals of
    // loopSignals() (core/process_setup.h) from a descriptor; they reach it where the caller
    // blocked them.
    CommandLoop(Uart& uart, const std::vector<Command>& commands);

    // Reads and serves lines for `platform` until SIGTERM or SIGINT. A signal during a request
    // stops the loop once that request is answered; requests still waiting are dropped
    // (logged). Pauses and reopens the device while it is missing or failing, so the loop
    // never spins. Returns the exit status.
    int run(Platform& platform);

    // Serves the next line: one that arrived while a handler ran, or else one read from the
    // port (waiting for it). False at the end of the input, when the port fails or once a stop
    // was asked for; `served` then is Nothing.
    bool serveNext(Platform& platform, Served& served);

private:
    // The line as read, while the debug switch is on.
    void logRead(const std::string& line) const;
    Served serveLine(const std::string& line);
    // Serves one request text (the bytes of one line up to the first zero byte): answers the
    // probe, or parses the text, calls the handler its "cmd" names and sends its answer.
    // Never throws.
    Served serveText(const std::string& text);
    // The answer of work that runs beside the line, waited for here.
    Answer runBeside(const std::function<Answer()>& work);
    // Waits until `fd` is readable; meanwhile answers the probe and keeps other lines for
    // serveNext.
    void waitForFd(int fd);
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
    const std::vector<Command>& commands_;
    Platform* platform_ = nullptr;  // the one being served
    std::deque<std::string> waiting_;
    UniqueFd signals_;
    bool stopping_ = false;
    bool reapPending_ = false;
};
