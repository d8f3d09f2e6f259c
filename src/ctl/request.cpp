#include "ctl/request.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <random>

#include "core/constants.h"

namespace ctl {

namespace {

// AF_INET or AF_INET6 for an IP address literal, 0 for anything else.
int familyOf(const std::string& text) {
    unsigned char buf[16];
    if (inet_pton(AF_INET, text.c_str(), buf) == 1) return AF_INET;
    if (inet_pton(AF_INET6, text.c_str(), buf) == 1) return AF_INET6;
    return 0;
}

// A whole decimal number from `min` to `max`, optionally signed.
bool parseNumber(const std::string& text, long min, long max, int& out) {
    if (text.empty() || text.find_first_not_of("-0123456789") != std::string::npos) return false;
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < min || value > max) return false;
    out = static_cast<int>(value);
    return true;
}

bool fail(std::string& error, std::string message) {
    error = std::move(message);
    return false;
}

}  // namespace

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

Json::Value netConfRequest(const std::string& uuid) {
    return queryRequest(qf::kCmdGetNetConf, uuid);
}

bool setNetRequest(const std::string& uuid, const Settings& settings, Json::Value& request,
                   std::string& error) {
    std::string address;
    std::string gateway;
    Json::Value location(Json::objectValue);
    Json::Value nameservers(Json::arrayValue);
    Settings containers;
    for (const auto& [name, value] : settings) {
        if (name == "--address") {
            address = value;
        } else if (name == "--gateway") {
            gateway = value;
        } else if (name == "--dns") {
            if (nameservers.size() == 2) return fail(error, "at most two --dns");
            if (familyOf(value) == 0) {
                return fail(error, "--dns '" + value + "' is not an IP address");
            }
            nameservers.append(value);
        } else if (name == "--pod-id") {
            int pod = 0;
            if (!parseNumber(value, INT_MIN, INT_MAX, pod)) {
                return fail(error, "--pod-id '" + value + "' is not an integer");
            }
            location["pod_id"] = pod;
        } else if (name == "--container") {
            const std::size_t eq = value.find('=');
            if (eq == 0 || eq == std::string::npos) {
                return fail(error, "--container '" + value + "' is not MAC=ADDRESS");
            }
            containers.emplace_back(value.substr(0, eq), value.substr(eq + 1));
        } else if (name == "--idc" || name == "--soc-ip") {
            location[name == "--idc" ? "idc" : "soc_ip"] = value;
        }
    }

    const std::size_t slash = address.find('/');
    const std::string host = address.substr(0, slash);
    const int family = slash == std::string::npos ? 0 : familyOf(host);
    int prefix = 0;
    if (family == 0 ||
        !parseNumber(address.substr(slash + 1), 1, family == AF_INET ? 32 : 128, prefix)) {
        return fail(error,
                    "set-net needs --address ADDRESS/PREFIX, an IPv4 address with a "
                    "prefix of 1 to 32 or an IPv6 one with 1 to 128");
    }
    const char* key = family == AF_INET ? "ipv4" : "ipv6";
    const std::string familyName = family == AF_INET ? "IPv4" : "IPv6";
    if (familyOf(gateway) != family) {
        return fail(error, "set-net needs --gateway, an " + familyName + " address");
    }
    if (nameservers.empty()) return fail(error, "set-net needs --dns");
    for (const char* member : {"idc", "soc_ip", "pod_id"}) {
        if (location.get(member, "").asString().empty()) {
            return fail(error, "set-net needs --idc, --soc-ip and --pod-id");
        }
    }
    const auto stranger =
        std::find_if(containers.begin(), containers.end(),
                     [family](const auto& c) { return familyOf(c.second) != family; });
    if (stranger != containers.end()) {
        return fail(error, "--container address '" + stranger->second + "' is not " + familyName);
    }

    request = queryRequest(qf::kCmdSetNetConf, uuid);
    request[key]["address"] = host;
    request[key]["gateway"] = gateway;
    request[key]["netmask"] = prefix;
    request["location"] = location;
    request["nameservers"] = nameservers;
    for (const auto& [mac, ip] : containers) {
        Json::Value entry(Json::objectValue);
        entry["mac"] = mac;
        entry[key] = ip;
        request["lxclist"].append(entry);
    }
    return true;
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

bool subcommandRequest(const Options& options, const std::string& uuid, Json::Value& request,
                       std::string& error) {
    switch (options.subcommand) {
        case Subcommand::Stat:
            request = statRequest(uuid);
            return true;
        case Subcommand::Hw:
            request = hwConfRequest(uuid);
            return true;
        case Subcommand::NetConf:
            request = netConfRequest(uuid);
            return true;
        case Subcommand::SetNet:
            return setNetRequest(uuid, options.settings, request, error);
        case Subcommand::Clear:
            request = clearRequest(uuid, !options.settings.empty());
            return true;
        case Subcommand::Probe:
        case Subcommand::Send:
            break;
    }
    return fail(error, "this subcommand sends no JSON request");
}

std::string compactJson(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

std::string requestLine(const Json::Value& request) {
    return compactJson(request) + "\n";
}

std::string probeLine() {
    return std::string(qf::kProbe) + "\n";
}

std::string probeAck() {
    return std::string(qf::kProbeAck, qf::kProbeAckSize);
}

}  // namespace ctl
