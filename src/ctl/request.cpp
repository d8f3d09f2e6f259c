#include "ctl/request.h"

#include <random>

#include "core/constants.h"

namespace ctl {

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

std::string requestLine(const Json::Value& request) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, request) + "\n";
}

std::string probeLine() {
    return std::string(qf::kProbe) + "\n";
}

std::string probeAck() {
    return std::string(qf::kProbeAck, qf::kProbeAckSize);
}

}  // namespace ctl
