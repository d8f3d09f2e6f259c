// The daemon's one stateful object: the command handlers, the network state that
// "set_net_conf" leaves behind, and the two halves of the debug switch.
#pragma once

#include <json/json.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/aside.h"
#include "core/constants.h"
#include "core/network_state.h"
#include "core/reply.h"
#include "core/unique_fd.h"

class FileBatch;
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
    int getNetConf() const { return net_.netConfState() != 0 ? 1 : 0; }

    // The network state and who changes it: see NetworkState.
    const NetworkState& networkState() const { return net_; }

    // Settings, given once at start-up: the site's DNS search domain written into the
    // interface and resolver files, the time limit of ifdown and ifup, and how the handler
    // waits for what it runs aside (the command loop's wait answers the probe meanwhile).
    void setDnsSearch(std::string domain) { dnsSearch_ = std::move(domain); }
    void setIfupTimeout(std::chrono::milliseconds timeout) { ifupTimeout_ = timeout; }
    void setLineWait(WaitForFd wait) { lineWait_ = std::move(wait); }

    // "set_net_conf" and what it uses.
    void doSetNetConf(const Json::Value& request, Uart& uart);
    int setIpConfig(const std::string& ifname, const std::string& address,
                    const std::string& gateway, int prefixLength, const std::string& dnsFirst,
                    const std::string& dnsSecond);
    int clearNetConf();
    bool saveHostInfo(const std::string& idc, const std::string& socIp, const std::string& podId,
                      FileBatch* batch = nullptr);
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

protected:
    // Sends a handler's reply and echoes it while the debug switch is on.
    void answer(Uart& uart, const Json::Value& reply, const ReplyEcho& echo) const {
        sendReply(uart, reply, getDebugFlag(), echo);
    }

private:
    // The decision and the work of "set_net_conf", off the main thread: the reply's ret_val.
    int setNetConf(const Json::Value& request);
    // A whole configuration: host files, eth0's restart, container files.
    int applyNetConf(const NetConfRequest& conf);
    // Same addresses as the configuration in force: only the host information and container
    // files, and only where they differ.
    int refreshPlacement(const NetConfRequest& conf);
    bool writeHostInfo(const NetConfRequest& conf);
    bool writeContainers(const NetConfRequest& conf);

    // Body of the watcher thread: follows the marker file and sets logEventFlag.
    void ThreadLooper();

    NetworkState net_;
    std::string dnsSearch_;
    std::chrono::milliseconds ifupTimeout_{std::chrono::seconds(qf::kDefaultIfupTimeoutSec)};
    WaitForFd lineWait_ = waitForFdOnly;

    bool envDebugFlag = false;
    // Marker-file half of the debug switch, written by the watcher thread.
    std::atomic<bool> logEventFlag{false};
    std::thread looperThread;
    int inotifyFd = -1;
    int inotifyWatch = -1;
    // Wakes the watcher when the object is destroyed, so the thread can be joined.
    UniqueFd stopEvent_;
};
