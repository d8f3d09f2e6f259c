// The daemon's one stateful object: the command handlers, the network state that
// "set_net_conf" leaves behind, and the two halves of the debug switch.
#pragma once

#include <json/json.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "core/unique_fd.h"
#include "netconf/host_network.h"

class Uart;
struct NetConfRequest;

class Platform {
public:
    Platform();
    virtual ~Platform();
    Platform(const Platform&) = delete;
    Platform& operator=(const Platform&) = delete;

    virtual std::string getCpuModel() = 0;
    virtual void doGetHwConf(const Json::Value& request, Uart& uart) = 0;
    virtual void doGetStat(const Json::Value& request, Uart& uart) = 0;

    // Environment half of the debug switch; rewritten at the start of every loop turn.
    void setDebugFlag(bool on) { envDebugFlag = on; }
    // True while either half is on.
    bool getDebugFlag() const {
        return envDebugFlag || logEventFlag.load(std::memory_order_relaxed);
    }

    // 1 once the network configuration was applied or cleared since start-up.
    int getNetConf() const { return netConfState != 0 ? 1 : 0; }

    // "set_net_conf" and what it uses.
    void doSetNetConf(const Json::Value& request, Uart& uart);
    int setIpConfig(const std::string& ifname, const std::string& address,
                    const std::string& gateway, int prefixLength, const std::string& dnsFirst,
                    const std::string& dnsSecond);
    int clearNetConf();
    bool saveHostInfo(const std::string& idc, const std::string& socIp, const std::string& podId);
    Json::Value readCmdRecords();
    bool writeCmd2File(const Json::Value& request);

    // "get_net_conf" and the interface probes it runs.
    void doGetNetConf(const Json::Value& request, Uart& uart);
    void getIpv4Addr(const char* ifname);
    void getIpv4NetMask(const char* ifname);
    void getIpv4Mac(const char* ifname);
    void getIpAddr(const char* ifname);
    void getDns();

    // Hardware sources.
    std::string getGpuModel(const char* path);
    std::uint64_t getRamSize(const char* path);  // kibibytes
    std::uint64_t getRomSize(const char* path);  // bytes

    // Network state, used by the main thread only. netConfState: 0 at start, 1 applied,
    // 2 cleared; never back to 0. netMask is a prefix length. ipType: 0 IPv4, 1 IPv6.
    std::int32_t netConfState = 0;
    std::uint8_t netMask = 0;
    std::uint8_t ipType = 0;
    std::string dns1;
    std::string dns2;
    std::string ipAddr;
    std::string macAddr;
    std::string gateWay;
    std::vector<std::string> lxcMacList;
    std::vector<std::string> lxcIpList;
    // Site DNS search domain written into the interface and resolver files.
    std::string dnsSearch;
    // How ifdown and ifup run (time limit, and serving the line while they do).
    InterfaceCommands interfaceCommands;

private:
    // A whole configuration: host files, eth0's restart, container files.
    int applyNetConf(const NetConfRequest& conf);
    // Same addresses as the configuration in force: only the host information and container
    // files, and only where they differ.
    int refreshPlacement(const NetConfRequest& conf);
    bool writeContainers(const NetConfRequest& conf);

    // Body of the watcher thread: follows the marker file and sets logEventFlag.
    void ThreadLooper();

    // What of the last applied configuration is really on the board. An apply that failed
    // anywhere is not in force, so its identical retry is applied again.
    std::string hostInfoInForce;  // the host information file's content, when written
    bool configInForce = false;
    bool containersInForce = false;

    bool envDebugFlag = false;
    // Marker-file half of the debug switch, written by the watcher thread.
    std::atomic<bool> logEventFlag{false};
    std::thread looperThread;
    int inotifyFd = -1;
    int inotifyWatch = -1;
    // Wakes the watcher when the object is destroyed, so the thread can be joined.
    UniqueFd stopEvent_;
};
