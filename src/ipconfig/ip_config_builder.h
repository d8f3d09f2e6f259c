// SPDX-License-Identifier: Apache-2.0
// One record of the binary IP configuration file that the containers read (version 3 of
// the store's layout) and its encoding through a BinaryWriter.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "ipconfig/binary_writer.h"

class IpConfigBuilder {
public:
    using Version = std::uint32_t;

    enum Assignment : std::uint32_t {
        STATIC = 0,
        DHCP = 1,
    };

    void set_version(const Version& newVersion) { version = newVersion; }
    void set_assignment(const Assignment& newAssignment) { assignment = newAssignment; }
    void set_link_address(const std::string& address, unsigned int prefixLength);
    void set_gateway(const std::string& newGateway) { gateway = newGateway; }
    void set_dns1_servers(const std::vector<std::string>& servers) { dns1_servers = servers; }
    void set_dns2_servers(const std::vector<std::string>& servers) { dns2_servers = servers; }
    void set_id(std::string newId) { id = std::move(newId); }

    // Switches `writer` to big-endian order and writes the whole record at its position.
    // Returns the writer's bytes_written() afterwards. Lets std::out_of_range from the
    // writer through when the record does not fit.
    std::int64_t write(BinaryWriter& writer) const;

private:
    // Zero rather than indeterminate until set: an unset field then encodes predictably.
    Version version = 0;
    Assignment assignment = STATIC;
    struct {
        std::string address;
        std::uint32_t prefix_length = 0;
    } link_address;
    std::string gateway;
    std::vector<std::string> dns1_servers;
    std::vector<std::string> dns2_servers;
    std::string id;
};
