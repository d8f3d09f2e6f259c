// The command loop: one line from the serial port, the probe or one JSON request, one
// handler, forever.
#pragma once

#include <string>

class Platform;
class Uart;

// Sets the environment half of the debug switch from QUILLFERRY_DEBUG: on when the value
// starts with the four letters "true".
void set_debug_flag(Platform* platform);

// Serves one request text (the bytes of one read, up to the first zero byte): answers the
// probe, or parses the text and calls the handler its "cmd" names. Never throws.
void serveRequest(Platform& platform, Uart& uart, const std::string& text);

// Reads and serves lines for ever. Pauses and reopens the device while it is missing or
// failing, so the loop never spins.
[[noreturn]] void runCommandLoop(Platform& platform, Uart& uart);
