// SPDX-License-Identifier: Apache-2.0
// What the board runs: the configuration of the last apply that fully succeeded (its files
// written and ifup done), kept across restarts in the daemon's own state file and reported
// by "get_net_conf" when asked for it.
//
// The state file never claims more than the board's files hold: before an apply, a clear or
// a new placement changes any of them, it is replaced by "unknown", and only once the change
// has fully succeeded by what is in force now. A crash or power cut in between leaves
// "unknown", which is the truth then.
#pragma once

#include <json/json.h>

#include <string>

struct NetConfRequest;

struct InForce {
    enum class State {
        None,     // nothing: no apply has fully succeeded (or a clear has)
        Known,    // `configuration`
        Unknown,  // an apply, clear or placement failed or was cut short
    };
    State state = State::None;
    // Known: the configuration in the members of the request that applied it, as applied:
    // "ipv4" or "ipv6" (address, gateway, netmask), "nameservers" (the IPv6 default second
    // one included) and "location" (idc, soc_ip, pod_id).
    Json::Value configuration;
    // The container list that the container files hold, as the request that wrote it gave it
    // (null for an unused slot); null when not known. A clear keeps it, as it keeps the files.
    Json::Value lxclist;

    bool operator==(const InForce& other) const {
        return state == other.state && configuration == other.configuration &&
               lxclist == other.lxclist;
    }
};

// What `conf` (complete and fit) puts in force, `before` being in force until then: its
// configuration, and its containers or, when it gives no list, those of `before`.
InForce appliedInForce(const NetConfRequest& conf, const InForce& before);

// The state file's text.
std::string renderInForce(const InForce& state);

// Reads a state file's text, judged whole: false, with `why`, for anything but what
// renderInForce gives for a configuration fit for the board (the request's own checks).
bool parseInForce(const std::string& text, InForce& state, std::string& why);

// The reply member: null when nothing is in force, "unknown", or the configuration with its
// "lxclist" (null when not known).
Json::Value inForceReply(const InForce& state);

// The state file at `path`: missing is nothing in force; one that cannot be read or is not
// ours is unknown (logged). Never throws.
InForce readInForce(const std::string& path);

// Replaces the state file at `path`, creating its folder `dir` when missing. False when it
// cannot be written (logged).
bool writeInForce(const std::string& dir, const std::string& path, const InForce& state);
