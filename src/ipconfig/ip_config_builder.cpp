// SPDX-License-Identifier: Apache-2.0
#include "ipconfig/ip_config_builder.h"

namespace {

std::string assignment_to_string(IpConfigBuilder::Assignment assignment) {
    switch (assignment) {
        case IpConfigBuilder::STATIC:
            return "STATIC";
        case IpConfigBuilder::DHCP:
            return "DHCP";
    }
    return "UNKNOWN";
}

}  // namespace

void IpConfigBuilder::set_link_address(const std::string& address, unsigned int prefixLength) {
    link_address.address = address;
    link_address.prefix_length = prefixLength;
}

std::int64_t IpConfigBuilder::write(BinaryWriter& writer) const {
    writer.set_byte_order(BinaryWriter::BigEndian);

    writer.write_uint32(version);

    writer.write_string_with_size("ipAssignment");
    writer.write_string_with_size(assignment_to_string(assignment));

    writer.write_string_with_size("linkAddress");
    writer.write_string_with_size(link_address.address);
    writer.write_uint32(link_address.prefix_length);

    // One route: the default route (no destination) through the gateway address.
    writer.write_string_with_size("gateway");
    writer.write_uint32(0);  // no destination follows
    writer.write_uint32(1);  // a gateway address follows
    writer.write_string_with_size(gateway);

    // The key introduces a whole list, so it is written once per list, not per server.
    writer.write_string_with_size("dns");
    for (const std::string& server : dns1_servers) writer.write_string_with_size(server);
    writer.write_string_with_size("dns");
    for (const std::string& server : dns2_servers) writer.write_string_with_size(server);

    writer.write_string_with_size("id");
    writer.write_string_with_size(id);

    writer.write_string_with_size("eos");
    return writer.bytes_written();
}
