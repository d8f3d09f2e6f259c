// Reply encoding and small helpers shared by the handlers.
#pragma once

#include <json/json.h>

#include <regex>
#include <string>

#include "core/constants.h"

class Uart;

// Removes every space, carriage return, newline and tab and appends one newline: the
// styled text of a reply becomes one compact line.
std::string strFixPatternTrim(const std::string& text);

// The envelope every reply starts with: the request's "uuid" (null when absent) and "cmd",
// and the result code.
Json::Value replyEnvelope(const Json::Value& request, int retVal);

// The exact line that goes on the wire for `reply`.
std::string encodeReply(const Json::Value& reply);

// Encodes `reply`, writes it to the serial port in one piece and returns the text sent.
std::string sendReply(Uart& uart, const Json::Value& reply);

// Deepest nesting of arrays and objects in a JSON text, and about how many values it holds
// (never fewer than it does); brackets and commas inside strings and comments do not count.
struct JsonShape {
    int depth = 0;
    int values = 0;
};
JsonShape jsonShape(const std::string& text);

// What a request may hold; the record file holds one request a level deeper, and may hold
// a few.
inline constexpr JsonShape kRequestLimits{qf::kMaxJsonDepth, qf::kMaxJsonValues};
inline constexpr JsonShape kRecordLimits{qf::kMaxJsonDepth + 1, 4 * qf::kMaxJsonValues};

// Parses one JSON text the way requests and the record file are read: comments allowed
// (and dropped), any value as the root, within `limits`. Never throws. On failure `root` is
// null, and `refusal` says why when the text was refused for its shape (or the reader gave
// up) rather than for its syntax.
bool parseJson(const std::string& text, Json::Value& root, std::string* refusal = nullptr,
               const JsonShape& limits = kRequestLimits);

// `text` with every match of `pattern` replaced by `replacement` (std::regex_replace).
std::string strPatternReplace(const std::regex& pattern, const std::string& text,
                              const std::string& replacement);

// Up to 256 bytes of a small system file as text, cut at the first zero byte; empty when
// the file cannot be read.
std::string getInfoFromFile(const char* path);

// Converts like strtol: leading white space, optional sign, digits, stops at the first
// other character. False when no digit was found or the value does not fit 32 bits.
bool parseLeadingInt(const std::string& text, int& value);
