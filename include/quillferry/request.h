// SPDX-License-Identifier: Apache-2.0
/// @file
/// The lines a controller sends: JSON requests and the liveness probe, and what recognises
/// each one's reply (a Call). Pure functions apart from newUuid().
#pragma once

#include <json/json.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quillferry/export.h"

namespace qfclient {

/// A random version 4 UUID in its 36-character text form, from std::random_device (the
/// kernel's random source). Throws std::exception when no random source is available.
QUILLFERRY_CLIENT_API std::string newUuid();

/// The text form of 16 bytes as a version 4 UUID: the version and variant bits are set,
/// the rest is taken as is.
QUILLFERRY_CLIENT_API std::string formatUuidV4(std::array<std::uint8_t, 16> bytes);

/// {"cmd": cmd, "uuid": uuid}: the whole request of a query, and the start of any other.
QUILLFERRY_CLIENT_API Json::Value queryRequest(const char* cmd, const std::string& uuid);

QUILLFERRY_CLIENT_API Json::Value statRequest(const std::string& uuid);
QUILLFERRY_CLIENT_API Json::Value hwConfRequest(const std::string& uuid);
/// With `inForce`, the board is asked also for what it runs and what eth0 carries ("in_force":
/// true); a board of an earlier version ignores the member and answers without them.
QUILLFERRY_CLIENT_API Json::Value netConfRequest(const std::string& uuid, bool inForce = false);

/// A static configuration of the board's eth0, as an operator writes it. The address family
/// follows `address`.
struct NetSettings {
    struct Container {
        std::string mac;
        std::string address;
    };
    std::string address;  ///< ADDRESS/PREFIX: 10.0.0.8/24, fd00::8/64
    std::string gateway;
    std::vector<std::string> dns;  ///< one or two
    std::string idc;
    std::string socIp;
    std::optional<std::int64_t> podId;
    /// The board's container list, in order; when not given the board keeps its own.
    std::optional<std::vector<Container>> containers;
    /// How an apply is made rather than what it applies: "verify_gateway", the seconds the
    /// gateway may take to answer once the configuration is up (the board puts the previous
    /// configuration back when it does not); unset: a plain apply.
    std::optional<std::int64_t> verifyGatewaySec;
};

/// A whole decimal number within 64 bits, optionally signed ("3", "-3"); false otherwise.
QUILLFERRY_CLIENT_API bool parseInteger(const std::string& text, std::int64_t& out);

/// The "set_net_conf" request for `settings`, judged with the board's own checks before
/// anything is sent. False, with `error` naming the value at fault and why, when the board
/// would refuse it (ret_val -1) or, lacking values, skip it.
QUILLFERRY_CLIENT_API bool setNetRequest(const std::string& uuid, const NetSettings& settings,
                                         Json::Value& request, std::string& error);

/// The clear: "clear" as address and gateway under "ipv4" (or "ipv6"), an empty location
/// and no name servers, which is all the board needs to take the configuration away.
QUILLFERRY_CLIENT_API Json::Value clearRequest(const std::string& uuid, bool ipv6);

/// JSON text without white space between tokens, members in name order.
QUILLFERRY_CLIENT_API std::string compactJson(const Json::Value& value);

/// The liveness probe as a line.
QUILLFERRY_CLIENT_API std::string probeLine();

/// The 18 bytes that acknowledge the probe (the last is a zero byte).
QUILLFERRY_CLIENT_API std::string probeAck();

/// What is sent and what answers it.
struct Call {
    std::string line;  ///< with its newline
    bool probe = false;
    /// The uuid value the reply echoes (null when the request has none); unset when the line
    /// is not a JSON object, whose reply is then whatever line comes first.
    std::optional<Json::Value> uuid;
    std::string cmd;  ///< the request's "cmd", empty when it has none
    /// The request's "verify_gateway" when it is a whole number of seconds, 0 otherwise.
    int verifyGatewaySec = 0;
};

QUILLFERRY_CLIENT_API Call probeCall();
/// A JSON request, sent compact.
QUILLFERRY_CLIENT_API Call requestCall(const Json::Value& request);
/// A line exactly as given (without its newline), matched by its uuid when it has one.
/// False, with `error`, for a line nested deeper or holding more values than a request may
/// (kRequestLimits): the board drops it unread, so it would never be answered.
QUILLFERRY_CLIENT_API bool lineCall(const std::string& text, Call& call, std::string& error);

/// For "set_net_conf": the board runs ifdown and ifup, and IPv6 duplicate address detection
/// alone takes seconds.
inline constexpr int kApplyTimeoutMs = 60000;
/// A verified apply runs ifdown and ifup up to four times (the apply and the put-back), and
/// waits for the gateway besides: twice the plain apply's time, plus its seconds.
inline constexpr int kVerifiedApplyTimeoutMs = 2 * kApplyTimeoutMs;
inline constexpr int kDefaultTimeoutMs = 5000;
/// How long a call may wait for its reply unless told otherwise.
QUILLFERRY_CLIENT_API int defaultTimeoutMs(const Call& call);

}  // namespace qfclient
