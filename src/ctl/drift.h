// SPDX-License-Identifier: Apache-2.0
// What a board runs against what its inventory entry asks for: the board's "in_force" (the
// reply of "get_net_conf" asked with "in_force") and the entry's network as the board would
// run it, both in the inventory's member names, value by value.
#pragma once

#include <json/json.h>

#include <cstddef>
#include <string>
#include <vector>

#include "quillferry/request.h"

namespace ctl {

struct Drift {
    enum class State {
        InSync,      // the board runs what the entry asks for
        Differs,     // a value differs, or nothing or an unknown configuration is in force
        CannotTell,  // the reply has no "in_force": a board of an earlier version
    };
    // One value that differs, as text: the board's, then the inventory's.
    struct Difference {
        std::string value;  // "address", "gateway", "dns", "idc", "soc_ip", "pod_id",
                            // "containers", "container 2"
        std::string board;
        std::string inventory;
    };
    State state = State::CannotTell;
    // What the board runs in the inventory's members (an object), null when nothing is in
    // force, "unknown" when the board does not know; null when it cannot tell.
    Json::Value inForce;
    // The entry's network as the board runs it once applied, in the inventory's members.
    Json::Value network;
    std::vector<Difference> differences;  // at most kMaxDifferences of them
    std::size_t moreDifferences = 0;      // and how many more there are
};

// A board's report can list some thousand containers; no more differences than this are
// kept per board.
inline constexpr std::size_t kMaxDifferences = 32;

// The network `net` asks for as the board runs it once applied, in the inventory's member
// names ("address" as ADDRESS/PREFIX, "gateway", "dns", "idc", "soc_ip", "pod_id" and, when
// given, "containers" of {"mac", "address"}): the board's own reading of the request (the
// IPv6 default second name server filled in), its texts without spaces as the board echoes
// them. Null when the board would refuse `net`.
Json::Value networkAsRun(const qfclient::NetSettings& net);

// A board's "in_force" report in the inventory's member names; a value of another kind than
// a board sends is kept as it is, so that it differs from any the inventory gives.
Json::Value networkOfInForce(const Json::Value& inForce);

// Compares the "in_force" of `reply` (a "get_net_conf" reply) with `net` (a network the
// board accepts). Containers are compared only when `net` gives them. False, with `why`,
// when "in_force" is of a kind that no board sends (neither null, "unknown" nor an object).
bool compareInForce(const qfclient::NetSettings& net, const Json::Value& reply, Drift& drift,
                    std::string& why);

// The differences, one line each: "address: 10.0.0.8/24 -> 10.0.1.8/24" (board's ->
// inventory's), escaped and each value cut short, then "and N more" when some were not kept.
std::vector<std::string> diffLines(const Drift& drift);

// The differences as JSON: [{"value", "board", "inventory"}...].
Json::Value differencesJson(const Drift& drift);

}  // namespace ctl
