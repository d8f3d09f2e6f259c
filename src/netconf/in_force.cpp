// SPDX-License-Identifier: Apache-2.0
#include "netconf/in_force.h"

#include <cerrno>

#include "core/atomic_file.h"
#include "core/constants.h"
#include "core/log.h"
#include "netconf/host_files.h"
#include "protocol/in_force_shape.h"
#include "protocol/json_text.h"
#include "protocol/net_conf_request.h"

namespace {

constexpr const char* kUnknown = "unknown";
constexpr const char* kStateMember = "in_force";
constexpr const char* kListMember = "lxclist";

const char* familyOf(std::uint8_t ipType) {
    return ipType == 1 ? "ipv6" : "ipv4";
}

// A configuration is ours when the request's reading and checks take it and give it back
// exactly: no member more or less, none of another kind.
bool judgeConfiguration(const Json::Value& c, std::string& why) {
    const NetConfRequest conf = readNetConfRequest(c);
    if (!hasNetConfShape(c) || !conf.isComplete() || conf.isClear()) {
        why = "the configuration is incomplete";
        return false;
    }
    if (std::string problem = netConfProblem(conf); !problem.empty()) {
        why = "the configuration is unfit: " + problem;
        return false;
    }
    if (inForceConfiguration(conf) != c) {
        why = "the configuration holds members of its own";
        return false;
    }
    return true;
}

bool judgeContainers(const Json::Value& list, std::string& why) {
    if (list.isNull()) return true;
    if (!list.isArray()) {
        why = "the container list is not a list";
        return false;
    }
    NetConfRequest conf;
    // Every entry in the family of the request that wrote the list.
    for (const Json::Value& entry : list) {
        if (entry.isObject() && entry.isMember("ipv6")) conf.ipType = 1;
    }
    readContainerList(list, familyOf(conf.ipType), conf);
    if (std::string problem = containersProblem(conf); !problem.empty()) {
        why = "the container list is unfit: " + problem;
        return false;
    }
    if (inForceContainers(conf) != list) {
        why = "the container list holds members of its own";
        return false;
    }
    return true;
}

}  // namespace

InForce appliedInForce(const NetConfRequest& conf, const InForce& before) {
    InForce now;
    now.state = InForce::State::Known;
    now.configuration = inForceConfiguration(conf);
    now.lxclist = conf.containersGiven ? inForceContainers(conf) : before.lxclist;
    return now;
}

std::string renderInForce(const InForce& state) {
    Json::Value file(Json::objectValue);
    switch (state.state) {
        case InForce::State::None:
            file[kStateMember] = Json::Value();
            break;
        case InForce::State::Known:
            file[kStateMember] = state.configuration;
            break;
        case InForce::State::Unknown:
            file[kStateMember] = kUnknown;
            break;
    }
    file[kListMember] = state.lxclist;
    return file.toStyledString();
}

bool parseInForce(const std::string& text, InForce& state, std::string& why) {
    state = InForce();
    Json::Value file;
    std::string refusal;
    if (!parseJson(text, file, &refusal, kRecordLimits)) {
        why = refusal.empty() ? "not JSON" : refusal;
        return false;
    }
    if (!file.isObject() || file.size() != 2 || !file.isMember(kStateMember) ||
        !file.isMember(kListMember)) {
        why = "not an object of its two members";
        return false;
    }
    const Json::Value& configuration = file[kStateMember];
    if (configuration.isNull()) {
        state.state = InForce::State::None;
    } else if (configuration == kUnknown) {
        state.state = InForce::State::Unknown;
    } else if (configuration.isObject() && judgeConfiguration(configuration, why)) {
        state.state = InForce::State::Known;
        state.configuration = configuration;
    } else {
        if (why.empty()) why = "the configuration is neither null, unknown nor an object";
        return false;
    }
    if (!judgeContainers(file[kListMember], why)) return false;
    state.lxclist = file[kListMember];
    return true;
}

Json::Value inForceReply(const InForce& state) {
    switch (state.state) {
        case InForce::State::Known: {
            Json::Value reply = state.configuration;
            reply[kListMember] = state.lxclist;
            return reply;
        }
        case InForce::State::Unknown:
            return kUnknown;
        case InForce::State::None:
            break;
    }
    return Json::Value();
}

InForce readInForce(const std::string& path) {
    InForce state;
    std::string text;
    std::string error;
    // One byte more than a state file may hold tells a larger file.
    if (!readBoardFile(path, qf::kInForceReadCap + 1, text, error)) {
        if (errno == ENOENT) return state;
    } else if (text.size() > qf::kInForceReadCap) {
        error = path + " is larger than a state file";
    } else if (parseInForce(text, state, error)) {
        return state;
    } else {
        error = path + ": " + error;
    }
    logLine("[QuillFerry] %s; what is in force is unknown", visible(error).c_str());
    state = InForce();
    state.state = InForce::State::Unknown;
    return state;
}

bool writeInForce(const std::string& dir, const std::string& path, const InForce& state) {
    std::string error;
    bool written = makeBoardFolder(dir, qf::kStateDirMode, error);
    if (written) written = writeFileAtomic(path, renderInForce(state), qf::kStateFileMode, error);
    if (!written) logWriteFailure(error);
    return written;
}
