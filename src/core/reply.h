// Replies: the envelope every reply starts with, the exact compact line that goes on the
// wire, and how a handler sends it (and echoes it while the debug switch is on).
#pragma once

#include <json/json.h>

#include <regex>
#include <string>

class Uart;

// Removes every space, carriage return, newline and tab and appends one newline: the
// styled text of a reply becomes one compact line.
std::string strFixPatternTrim(const std::string& text);

// `text` with every match of `pattern` replaced by `replacement` (std::regex_replace): the
// general form of the compaction.
std::string strPatternReplace(const std::regex& pattern, const std::string& text,
                              const std::string& replacement);

// The envelope every reply starts with: the request's "uuid" (null when absent) and "cmd",
// and the result code.
Json::Value replyEnvelope(const Json::Value& request, int retVal);

// The exact line that goes on the wire for `reply`.
std::string encodeReply(const Json::Value& reply);

// Encodes `reply`, writes it to the serial port in one piece and returns the text sent.
std::string sendReply(Uart& uart, const Json::Value& reply);

// A line of the wire (a request or a reply) as the log shows it: without its newline, escaped.
std::string loggedLine(const std::string& text);

// How a handler echoes the reply it sent while the debug switch is on: a format for
// standard output (null: none) and one for the log, each with one %s for the text.
struct ReplyEcho {
    const char* output;
    const char* log;
};

// sendReply, then the echo when `debug` is on.
void sendReply(Uart& uart, const Json::Value& reply, bool debug, const ReplyEcho& echo);
