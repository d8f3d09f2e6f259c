// SPDX-License-Identifier: Apache-2.0
#include "quillferry/request.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <random>
#include <utility>

#include "protocol/json_text.h"
#include "protocol/net_conf_request.h"
#include "protocol/wire.h"
#include "quillferry/reply.h"

namespace qfclient {

namespace {

bool fail(std::string& error, std::string message) {
    error = std::move(message);
    return false;
}

}  // namespace

bool parseInteger(const std::string& text, std::int64_t& out) {
    if (text.empty() || text.find_first_not_of("-0123456789") != std::string::npos) return false;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return false;
    out = value;
    return true;
}

std::string newUuid() {
    std::random_device source;
    std::array<std::uint8_t, 16> bytes{};
    for (std::size_t i = 0; i < bytes.size(); i += 4) {
        const std::uint32_t word = source();
        for (std::size_t k = 0; k < 4; ++k) {
            bytes[i + k] = static_cast<std::uint8_t>(word >> (8 * k));
        }
    }
    return formatUuidV4(bytes);
}

std::string formatUuidV4(std::array<std::uint8_t, 16> bytes) {
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0x0f];
    }
    return text;
}

Json::Value queryRequest(const char* cmd, const std::string& uuid) {
    Json::Value request(Json::objectValue);
    request["cmd"] = cmd;
    request["uuid"] = uuid;
    return request;
}

Json::Value statRequest(const std::string& uuid) {
    return queryRequest(qf::kCmdGetStat, uuid);
}

Json::Value hwConfRequest(const std::string& uuid) {
    return queryRequest(qf::kCmdGetHwConf, uuid);
}

Json::Value netConfRequest(const std::string& uuid, bool inForce) {
    Json::Value request = queryRequest(qf::kCmdGetNetConf, uuid);
    if (inForce) request[qf::kInForceMember] = true;
    return request;
}

namespace {

// The request exactly as `settings` describe it; nothing judged but what JSON needs (the
// prefix length must be a number to be sent as one).
bool buildSetNet(const std::string& uuid, const NetSettings& settings, Json::Value& request,
                 std::string& error) {
    const std::size_t slash = settings.address.find('/');
    const std::string host = settings.address.substr(0, slash);
    // IPv6 literals, and only they, hold a ':'; the board judges the rest.
    const char* key = host.find(':') == std::string::npos ? "ipv4" : "ipv6";
    std::int64_t prefix = 0;
    if (slash == std::string::npos || !parseInteger(settings.address.substr(slash + 1), prefix)) {
        return fail(error, "address '" + escapeBytes(settings.address) +
                               "' is not ADDRESS/PREFIX (10.0.0.8/24, fd00::8/64)");
    }
    request = queryRequest(qf::kCmdSetNetConf, uuid);
    request[key]["address"] = host;
    request[key]["gateway"] = settings.gateway;
    request[key]["netmask"] = Json::Int64(prefix);
    Json::Value& location = request["location"];
    location["idc"] = settings.idc;
    location["soc_ip"] = settings.socIp;
    if (settings.podId) location["pod_id"] = Json::Int64(*settings.podId);
    request["nameservers"] = Json::Value(Json::arrayValue);
    for (const std::string& dns : settings.dns) request["nameservers"].append(dns);
    if (settings.containers) {
        request["lxclist"] = Json::Value(Json::arrayValue);
        for (const NetSettings::Container& c : *settings.containers) {
            Json::Value entry(Json::objectValue);
            entry["mac"] = c.mac;
            entry[key] = c.address;
            request["lxclist"].append(entry);
        }
    }
    if (settings.verifyGatewaySec)
        request[qf::kVerifyGatewayMember] = Json::Int64(*settings.verifyGatewaySec);
    return true;
}

// The board's verdict on a request: empty when it would apply it.
std::string boardVerdict(const Json::Value& request) {
    if (!hasNetConfShape(request)) return "the request lacks a part the board needs";
    const NetConfRequest conf = readNetConfRequest(request);
    std::string problem = netConfProblem(conf);
    if (problem.empty() && !conf.isComplete()) problem = "a value the board needs is missing";
    return problem;
}

// A configuration the board accepts, of either family: each value of a refused request is
// tried alone in it, to name the one at fault.
NetSettings referenceSettings(bool v6) {
    NetSettings s;
    s.address = v6 ? "fd00::8/64" : "10.0.0.8/24";
    s.gateway = v6 ? "fd00::1" : "10.0.0.1";
    s.dns = {v6 ? "fd00::53" : "10.0.0.53"};
    s.idc = "dc1";
    s.socIp = "10.0.0.8";
    s.podId = 1;
    return s;
}

// One value of a configuration: its name and how to put it into another one.
struct Value {
    std::string name;
    std::string text;
    std::function<void(NetSettings&)> put;
};

std::vector<Value> valuesOf(const NetSettings& s, bool v6) {
    std::vector<Value> values = {
        {"address", s.address, [&s](NetSettings& r) { r.address = s.address; }},
        {"gateway", s.gateway, [&s](NetSettings& r) { r.gateway = s.gateway; }},
        {"idc", s.idc, [&s](NetSettings& r) { r.idc = s.idc; }},
        {"soc_ip", s.socIp, [&s](NetSettings& r) { r.socIp = s.socIp; }},
        {"pod_id", s.podId ? std::to_string(*s.podId) : "",
         [&s](NetSettings& r) { r.podId = s.podId; }},
    };
    if (s.verifyGatewaySec) {
        values.push_back({qf::kVerifyGatewayMember, std::to_string(*s.verifyGatewaySec),
                          [&s](NetSettings& r) { r.verifyGatewaySec = s.verifyGatewaySec; }});
    }
    for (std::size_t i = 0; i < s.dns.size(); ++i) {
        values.push_back({"dns", s.dns[i], [&s, i](NetSettings& r) {
                              r.dns.resize(std::max(r.dns.size(), i + 1), r.dns.front());
                              r.dns[i] = s.dns[i];
                          }});
    }
    if (s.containers) {
        // Every other container is a good one, so that only this value is judged.
        const auto trial = [&s, v6](std::size_t i, bool mac) {
            return [&s, v6, i, mac](NetSettings& r) {
                std::vector<NetSettings::Container> list(
                    s.containers->size(), {"02:00:00:00:00:0a", v6 ? "fd00::a" : "10.0.0.10"});
                (mac ? list[i].mac : list[i].address) =
                    mac ? (*s.containers)[i].mac : (*s.containers)[i].address;
                r.containers = std::move(list);
            };
        };
        for (std::size_t i = 0; i < s.containers->size(); ++i) {
            const NetSettings::Container& c = (*s.containers)[i];
            const std::string n = "container " + std::to_string(i + 1);
            values.push_back({n + " mac", c.mac, trial(i, true)});
            values.push_back({n + " address", c.address, trial(i, false)});
        }
    }
    return values;
}

}  // namespace

bool setNetRequest(const std::string& uuid, const NetSettings& settings, Json::Value& request,
                   std::string& error) {
    std::vector<std::string> missing;
    if (settings.address.empty()) missing.emplace_back("address");
    if (settings.gateway.empty()) missing.emplace_back("gateway");
    if (settings.dns.empty()) missing.emplace_back("dns");
    if (settings.idc.empty()) missing.emplace_back("idc");
    if (settings.socIp.empty()) missing.emplace_back("soc_ip");
    if (!settings.podId) missing.emplace_back("pod_id");
    if (!missing.empty()) {
        std::string names;
        for (const std::string& m : missing) names += (names.empty() ? "" : ", ") + m;
        return fail(error, "set-net needs a value for: " + names);
    }
    if (settings.dns.size() > 2) return fail(error, "at most two dns (name servers)");
    if (!buildSetNet(uuid, settings, request, error)) return false;
    const std::string problem = boardVerdict(request);
    if (problem.empty()) return true;

    // Name the value at fault: the first that the board refuses alone, in a configuration
    // it accepts otherwise.
    const bool v6 = settings.address.find(':') != std::string::npos;
    for (const Value& value : valuesOf(settings, v6)) {
        NetSettings trial = referenceSettings(v6);
        value.put(trial);
        Json::Value probe;
        std::string ignored;
        if (!buildSetNet(uuid, trial, probe, ignored)) continue;
        const std::string alone = boardVerdict(probe);
        if (!alone.empty()) {
            return fail(error, value.name + " '" + escapeBytes(value.text) + "': " + alone);
        }
    }
    return fail(error, "the board would refuse this configuration: " + problem);
}

Json::Value clearRequest(const std::string& uuid, bool ipv6) {
    Json::Value request = queryRequest(qf::kCmdSetNetConf, uuid);
    Json::Value& family = request[ipv6 ? "ipv6" : "ipv4"];
    family["address"] = "clear";
    family["gateway"] = "clear";
    request["location"] = Json::Value(Json::objectValue);
    request["nameservers"] = Json::Value(Json::arrayValue);
    return request;
}

std::string compactJson(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

std::string probeLine() {
    return std::string(qf::kProbe) + "\n";
}

std::string probeAck() {
    return std::string(qf::kProbeAck, qf::kProbeAckSize);
}

Call probeCall() {
    Call call;
    call.line = probeLine();
    call.probe = true;
    return call;
}

Call requestCall(const Json::Value& request) {
    Call call;
    call.line = compactJson(request) + "\n";
    call.uuid = request.get("uuid", Json::Value());
    const Json::Value& cmd = request["cmd"];
    if (cmd.isString()) call.cmd = cmd.asString();
    const Json::Value& verify = request[qf::kVerifyGatewayMember];
    if (verify.isIntegral() && verify.isInt()) call.verifyGatewaySec = std::max(0, verify.asInt());
    return call;
}

bool lineCall(const std::string& text, Call& call, std::string& error) {
    const std::string refusal = shapeRefusal(text, kRequestLimits);
    if (!refusal.empty()) {
        error = "the line is " + refusal + ": the board drops such a line unread";
        return false;
    }
    call = Call();
    Json::Value sent;
    std::string notJson;
    if (parseStrictJson(text, sent, notJson, kRequestLimits) && sent.isObject())
        call = requestCall(sent);
    call.line = text + "\n";
    return true;
}

int defaultTimeoutMs(const Call& call) {
    if (call.cmd != qf::kCmdSetNetConf) return kDefaultTimeoutMs;
    if (call.verifyGatewaySec <= 0) return kApplyTimeoutMs;
    // The board takes at most kVerifyGatewayMaxSec; a larger value is refused at once.
    return kVerifiedApplyTimeoutMs +
           std::min(call.verifyGatewaySec, qf::kVerifyGatewayMaxSec) * 1000;
}

}  // namespace qfclient
