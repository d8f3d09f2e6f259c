// SPDX-License-Identifier: Apache-2.0
// The network state that "set_net_conf" leaves behind and the queries report. It lives in
// memory only; the command record file keeps the last request across restarts.
//
// Who changes what, at a glance: "set_net_conf" chooses the address family, applies, clears
// and places (the operations under "set_net_conf"); "get_net_conf" refreshes what it reads
// from eth0 and meets a remembered clear (under "get_net_conf"); "get_stat" only reads.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "protocol/net_values.h"

class NetworkState {
public:
    // 0 at start; 1 once a configuration was applied (whatever its outcome); 2 after a clear
    // or once a remembered clear was reported. Never back to 0.
    std::int32_t netConfState() const { return netConfState_; }
    // 0 IPv4, 1 IPv6: the family of the last request that had the shape of a configuration.
    std::uint8_t ipType() const { return ipType_; }
    // The last applied configuration; address and prefix as eth0 last showed them (IPv4).
    const std::string& ipAddr() const { return ipAddr_; }
    const std::string& gateWay() const { return gateWay_; }
    std::uint8_t netMask() const { return netMask_; }
    const std::string& dns1() const { return dns1_; }
    const std::string& dns2() const { return dns2_; }
    // The last container list applied, in list order (a clear keeps it).
    const std::vector<Container>& containers() const { return containers_; }
    // eth0's MAC address as last read; empty until a first reading.
    const std::string& macAddr() const { return macAddr_; }

    // --- set_net_conf ---
    void chooseFamily(std::uint8_t ipType) { ipType_ = ipType; }
    // True when `a` is what is on the board now: applied without a fault, and not changed
    // since (a get_net_conf may have read other addresses from eth0).
    bool inForce(const Addresses& a) const;
    // The addresses being applied; in force only once everything has succeeded.
    void applying(const Addresses& a);
    void applied(bool everythingSucceeded) { configInForce_ = everythingSucceeded; }
    void cleared();
    // The host information file's content, when written (empty: unknown, rewrite it).
    const std::string& hostInfoInForce() const { return hostInfoInForce_; }
    void placed(std::string hostInfo) { hostInfoInForce_ = std::move(hostInfo); }
    // True when `list` is what the container files hold now.
    bool containersInForce(const std::vector<Container>& list) const;
    void containersWritten(std::vector<Container> list, bool written);

    // --- get_net_conf ---
    void readAddress(std::string address) { ipAddr_ = std::move(address); }
    void readPrefix(std::uint8_t prefix) { netMask_ = prefix; }
    void readMac(std::string mac) { macAddr_ = std::move(mac); }
    void rememberedClear() { netConfState_ = 2; }

private:
    std::int32_t netConfState_ = 0;
    std::uint8_t ipType_ = 0;
    std::uint8_t netMask_ = 0;
    bool configInForce_ = false;
    bool containersInForce_ = false;
    std::string ipAddr_;
    std::string gateWay_;
    std::string dns1_;
    std::string dns2_;
    std::string macAddr_;
    std::vector<Container> containers_;
    std::string hostInfoInForce_;
};
