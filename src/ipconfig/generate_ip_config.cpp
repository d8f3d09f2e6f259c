// SPDX-License-Identifier: Apache-2.0
#include "ipconfig/generate_ip_config.h"

#include <cstdio>
#include <string_view>
#include <utility>

#include "core/atomic_file.h"
#include "core/constants.h"
#include "core/log.h"
#include "ipconfig/binary_writer.h"
#include "ipconfig/ip_config_builder.h"

namespace {

// Layout version of the record that the container system reads.
constexpr IpConfigBuilder::Version kRecordVersion = 3;
// Fixed encoding room: far more than a record that one request line can fill.
constexpr std::size_t kRecordBufferSize = 4096;

std::string orDefault(const std::string& value, const char* fallback) {
    return value.empty() ? std::string(fallback) : value;
}

}  // namespace

GenerateIpConfig::GenerateIpConfig(const char* filePath, std::string addressText,
                                   std::string gatewayText, std::string firstDns,
                                   std::string secondDns, std::string interfaceId, int prefixLength,
                                   unsigned char ipv6Flag)
    : path(filePath),
      address(std::move(addressText)),
      gateway(std::move(gatewayText)),
      dns1(std::move(firstDns)),
      dns2(std::move(secondDns)),
      id(std::move(interfaceId)),
      prefix_length(prefixLength),
      ipv6(ipv6Flag) {}

std::vector<unsigned char> GenerateIpConfig::render() const {
    std::string linkAddress = address;
    std::string route = gateway;
    int prefix = prefix_length;
    std::string firstDns;
    std::string secondDns;
    if (ipv6 == 0) {
        linkAddress = orDefault(address, qf::kIpv4DefaultAddress);
        // Only 0 means "not given"; any other value, a negative one too, is written as is.
        if (prefix == 0) prefix = qf::kIpv4DefaultPrefix;
        route = orDefault(gateway, qf::kIpv4DefaultGateway);
        firstDns = orDefault(dns1, qf::kIpv4DefaultDns);
        secondDns = orDefault(dns2, qf::kIpv4DefaultDns);
    } else {
        // An IPv6 address and gateway have no sensible default; they go out as given.
        firstDns = orDefault(dns1, qf::kIpv6DefaultDns);
        secondDns = orDefault(dns2, qf::kIpv6SecondDefaultDns);
    }

    IpConfigBuilder builder;
    builder.set_version(kRecordVersion);
    builder.set_assignment(IpConfigBuilder::STATIC);
    builder.set_link_address(linkAddress, static_cast<unsigned int>(prefix));
    builder.set_gateway(route);
    builder.set_dns1_servers({firstDns});
    builder.set_dns2_servers({secondDns});
    builder.set_id(id);

    std::vector<unsigned char> buffer(kRecordBufferSize, 0);
    BinaryWriter writer(buffer.begin(), buffer.end());
    const std::int64_t length = builder.write(writer);
    buffer.resize(static_cast<std::size_t>(length));
    return buffer;
}

bool GenerateIpConfig::GenerateIpConfigFunc(std::optional<mode_t> mode, FileBatch* batch) {
    // Encoding comes first, so an oversized record throws before the file is touched.
    const std::vector<unsigned char> record = render();
    const std::string_view bytes(reinterpret_cast<const char*>(record.data()), record.size());
    std::string error;
    if (path != nullptr && (batch != nullptr ? batch->add(path, bytes, mode, error)
                                             : writeFileAtomic(path, bytes, mode, error)))
        return true;
    logLine("Failed to open %s for writing", path != nullptr ? path : "(null)");
    if (!error.empty()) logLine("[QuillFerry] cannot write %s", error.c_str());
    return false;
}
