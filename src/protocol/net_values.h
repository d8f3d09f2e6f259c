// SPDX-License-Identifier: Apache-2.0
// The values a "set_net_conf" request carries, as the board's files take them: its addresses
// and its containers.
#pragma once

#include <string>

// One container of the board: its MAC address and its address, as requested.
struct Container {
    std::string mac;
    std::string ip;

    bool operator==(const Container& other) const { return mac == other.mac && ip == other.ip; }
};

// The addresses of a configuration, as the interface and resolver files carry them.
struct Addresses {
    std::string address;
    std::string gateway;
    int prefixLength = 0;
    std::string dns1;
    std::string dns2;
};
