// The lines quillferry-ctl sends: JSON requests built from the command line, and the
// liveness probe. Pure functions apart from newUuid().
#pragma once

#include <json/json.h>

#include <array>
#include <cstdint>
#include <string>

namespace ctl {

// A random version 4 UUID in its 36-character text form, from std::random_device (the
// kernel's random source). Throws std::exception when no random source is available.
std::string newUuid();

// The text form of 16 bytes as a version 4 UUID: the version and variant bits are set,
// the rest is taken as is.
std::string formatUuidV4(std::array<std::uint8_t, 16> bytes);

// {"cmd": cmd, "uuid": uuid}: the whole request of a query, and the start of any other.
Json::Value queryRequest(const char* cmd, const std::string& uuid);

Json::Value statRequest(const std::string& uuid);
Json::Value hwConfRequest(const std::string& uuid);

// One compact line: no white space between tokens, members in name order, a newline.
std::string requestLine(const Json::Value& request);

// The liveness probe as a line.
std::string probeLine();

// The 18 bytes that acknowledge the probe (the last is a zero byte).
std::string probeAck();

}  // namespace ctl
