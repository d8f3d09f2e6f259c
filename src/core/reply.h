// SPDX-License-Identifier: Apache-2.0
// Replies: the envelope every reply starts with, the exact compact line that goes on the
// wire, and the one way a handler's answer is sent and echoed.
#pragma once

#include <json/json.h>

#include <string>

class Uart;

// Removes every space, carriage return, newline and tab and appends one newline: the
// styled text of a reply becomes one compact line.
std::string strFixPatternTrim(const std::string& text);

// The envelope every reply starts with: the request's "uuid" (null when absent) and "cmd",
// and the result code.
Json::Value replyEnvelope(const Json::Value& request, int retVal);

// The exact line that goes on the wire for `reply`.
std::string encodeReply(const Json::Value& reply);

// A line of the wire (a request or a reply) as the log shows it: without its newline, escaped.
std::string loggedLine(const std::string& text);

// How a reply is echoed once sent: a format for standard output (null: none) and one for the
// log (null: none), each with one %s for the reply; while the debug switch is on, or always.
struct ReplyEcho {
    const char* output = nullptr;
    const char* log = nullptr;
    bool always = false;
};

// What a handler decided: the reply and how it is echoed.
struct Answer {
    Json::Value reply;
    ReplyEcho echo;
};

// Encodes the reply, writes it to the serial port in one piece, then echoes it as `a.echo`
// says (`debug`: the debug switch is on).
void sendAnswer(Uart& uart, const Answer& a, bool debug);
