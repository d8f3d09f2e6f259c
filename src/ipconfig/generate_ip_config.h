// Makes the binary IP configuration file of one interface: fills in the defaults of its
// address family, encodes the record and replaces the file.
#pragma once

#include <string>
#include <vector>

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

    // Replaces the file at `path` with render()'s bytes atomically: a reader sees the old
    // record or the new one. When the file cannot be written, says so on stderr and leaves
    // any existing file as it was. An oversized record throws before any file is touched.
    void GenerateIpConfigFunc();

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
