// The lines quillferry-ctl sends: JSON requests built from the command line, and the
// liveness probe. Pure functions apart from newUuid().
#pragma once

#include <json/json.h>

#include <array>
#include <cstdint>
#include <string>

#include "ctl/options.h"

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
Json::Value netConfRequest(const std::string& uuid);

// The "set_net_conf" request of set-net. False, with a one-line `error`, when a value is
// missing or malformed: the board would refuse such a request (ret_val -1) or, without
// "location" or "nameservers", skip it with ret_val 0, so it is better not sent.
bool setNetRequest(const std::string& uuid, const Settings& settings, Json::Value& request,
                   std::string& error);

// The clear: "clear" as address and gateway under "ipv4" (or "ipv6"), an empty location
// and no name servers, which is all the board needs to take the configuration away.
Json::Value clearRequest(const std::string& uuid, bool ipv6);

// The request of a subcommand that builds its own (stat, hw, netconf, set-net, clear);
// false with `error` as setNetRequest.
bool subcommandRequest(const Options& options, const std::string& uuid, Json::Value& request,
                       std::string& error);

// JSON text without white space between tokens, members in name order.
std::string compactJson(const Json::Value& value);

// The request as one compact line, with its newline.
std::string requestLine(const Json::Value& request);

// The liveness probe as a line.
std::string probeLine();

// The 18 bytes that acknowledge the probe (the last is a zero byte).
std::string probeAck();

}  // namespace ctl
