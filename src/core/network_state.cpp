// SPDX-License-Identifier: Apache-2.0
#include "core/network_state.h"

bool NetworkState::inForce(const Addresses& a) const {
    return netConfState_ == 1 && configInForce_ && a.address == ipAddr_ && a.gateway == gateWay_ &&
           a.prefixLength == static_cast<int>(netMask_) && a.dns1 == dns1_ && a.dns2 == dns2_;
}

void NetworkState::applying(const Addresses& a) {
    netConfState_ = 1;
    configInForce_ = false;
    ipAddr_ = a.address;
    gateWay_ = a.gateway;
    netMask_ = static_cast<std::uint8_t>(a.prefixLength);  // a prefix length fits 8 bits
    dns1_ = a.dns1;
    dns2_ = a.dns2;
}

void NetworkState::cleared() {
    netConfState_ = 2;
    configInForce_ = false;
    ipAddr_.clear();
    gateWay_.clear();
    netMask_ = 0;
    dns1_.clear();
    dns2_.clear();
    hostInfoInForce_.clear();
}

bool NetworkState::containersInForce(const std::vector<Container>& list) const {
    return containersInForce_ && list == containers_;
}

void NetworkState::containersWritten(std::vector<Container> list, bool written) {
    containers_ = std::move(list);
    containersInForce_ = written;
}
