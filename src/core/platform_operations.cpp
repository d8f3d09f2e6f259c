// SPDX-License-Identifier: Apache-2.0
// The board's named operations, each a shell over the unit that does the work, on the
// platform's own context.
#include "core/constants.h"
#include "core/platform.h"
#include "netconf/cmd_record_store.h"
#include "netconf/host_files.h"
#include "netconf/host_network.h"
#include "query/board_readings.h"
#include "query/if_probes.h"

std::string Platform::getCpuModel() {
    return qf::kCpuModel;
}

int Platform::getNetConf() const {
    return board_.net.netConfState() != 0 ? 1 : 0;
}

Status Platform::setIpConfig(const std::string& ifname, const std::string& address,
                             const std::string& gateway, int prefixLength,
                             const std::string& dnsFirst, const std::string& dnsSecond) {
    return ::setIpConfig(board_, ifname, address, gateway, prefixLength, dnsFirst, dnsSecond);
}

Status Platform::clearNetConf() {
    return ::clearNetConf(board_);
}

bool Platform::saveHostInfo(const std::string& idc, const std::string& socIp,
                            const std::string& podId, FileBatch* batch) {
    return ::saveHostInfo(board_.paths, idc, socIp, podId, batch);
}

Json::Value Platform::readCmdRecords() {
    return readRecordSet(board_.paths.cmdRecordFile.c_str());
}

bool Platform::writeCmd2File(const Json::Value& request) {
    return storeRecord(board_.paths.cmdRecordFile.c_str(), request);
}

void Platform::getIpv4Addr(const char* ifname) {
    ::getIpv4Addr(board_.net, ifname);
}

void Platform::getIpv4NetMask(const char* ifname) {
    ::getIpv4NetMask(board_.net, ifname);
}

void Platform::getIpv4Mac(const char* ifname) {
    ::getIpv4Mac(board_.net, ifname);
}

std::string Platform::getGpuModel(const char* path) {
    return ::getGpuModel(path);
}

std::uint64_t Platform::getRamSize(const char* path) {
    return ::getRamSize(path);
}

std::uint64_t Platform::getRomSize(const char* path) {
    return ::getRomSize(path);
}
