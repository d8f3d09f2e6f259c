// SPDX-License-Identifier: Apache-2.0
// Makes the binary IP configuration file of one interface: fills in the defaults of its
// address family, encodes the record and replaces the file.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

class FileBatch;

class GenerateIpConfig {
public:
    // `filePath` is kept as a pointer: the caller keeps its text alive until
    // GenerateIpConfigFunc has returned. `ipv6Flag` is 0 for IPv4, anything else for IPv6.
    // `prefixLength` is a prefix length (24, 64), not a dotted mask.
    GenerateIpConfig(const char* filePath, std::string addressText, std::string gatewayText,
                     std::string firstDns, std::string secondDns, std::string interfaceId,
                     int prefixLength, unsigned char ipv6Flag);

    // The record's bytes, with the defaults of the address family in place of missing
    // values. Touches no file. Throws std::out_of_range("Write buffer exhausted") when the
    // record does not fit the encoding buffer.
    std::vector<unsigned char> render() const;

    // Replaces the file at `path` with render()'s bytes atomically, at once or, given a
    // batch, when the batch is committed: a reader sees the old record or the new one. The
    // file gets `mode` when given, else keeps its mode. When the file cannot be written, says
    // so on stderr, leaves any existing file as it was and returns false. An oversized record
    // throws before any file is touched.
    bool GenerateIpConfigFunc(std::optional<mode_t> mode = std::nullopt,
                              FileBatch* batch = nullptr);

private:
    const char* path;
    std::string address;
    std::string gateway;
    std::string dns1;
    std::string dns2;
    std::string id;
    int prefix_length;
    unsigned char ipv6;
};
