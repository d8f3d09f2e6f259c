// Reply encoding and small helpers shared by the handlers.
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

// Encodes `reply`, writes it to the serial port in one piece and returns the text sent.
std::string sendReply(Uart& uart, const Json::Value& reply);

// Parses one JSON text the way requests and the record file are read: comments allowed
// (and dropped), any value as the root. On failure `root` holds whatever the reader had built.
bool parseJson(const std::string& text, Json::Value& root);

// Up to 256 bytes of a small system file as text, cut at the first zero byte; empty when
// the file cannot be read.
std::string getInfoFromFile(const char* path);

// Converts like strtol: leading white space, optional sign, digits, stops at the first
// other character. False when no digit was found or the value does not fit 32 bits.
bool parseLeadingInt(const std::string& text, int& value);
