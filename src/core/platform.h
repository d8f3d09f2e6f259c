// SPDX-License-Identifier: Apache-2.0
// The daemon's one stateful object: the command handlers, the network state that
// "set_net_conf" leaves behind, and the two halves of the debug switch.
//
// Each handler is a thin shell: a function turns the request (and the board) into the answer,
// and answer() sends it and echoes it. Tests call the functions that decide, on a Platform
// over a scratch folder (BoardPaths::under), without starting it.
#pragma once

#include <json/json.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/aside.h"
#include "core/board_paths.h"
#include "core/constants.h"
#include "core/network_state.h"
#include "core/reply.h"
#include "core/unique_fd.h"

class FileBatch;
class FileSnapshot;
class Uart;
struct InForce;
struct NetConfRequest;

// How a verified apply checks that the gateway answers within a time limit; `detail` says
// what was seen.
using GatewayCheck = std::function<bool(const std::string& gateway, std::chrono::milliseconds limit,
                                        std::string& detail)>;

class Platform {
public:
    // `lineWait` is how a handler waits for what it runs aside: the command loop's wait keeps
    // answering the probe. Nothing is started here (see start()).
    explicit Platform(BoardPaths paths = {}, WaitForFd lineWait = waitForFdOnly);
    virtual ~Platform();
    Platform(const Platform&) = delete;
    Platform& operator=(const Platform&) = delete;

    // --- the board class's own (platform_qcom.cpp) ---
    virtual std::string getCpuModel() = 0;
    virtual void doGetHwConf(const Json::Value& request, Uart& uart) = 0;
    virtual void doGetStat(const Json::Value& request, Uart& uart) = 0;

    // --- start-up and the debug switch (platform.cpp) ---
    // Makes the marker folder when missing, reads the marker and starts the watcher thread.
    void start();
    // Environment half of the debug switch; rewritten at the start of every loop turn.
    void setDebugFlag(bool on) { envDebugFlag = on; }
    // True while either half is on.
    bool getDebugFlag() const {
        return envDebugFlag || logEventFlag.load(std::memory_order_relaxed);
    }
    // 1 once the network configuration was applied or cleared since start-up.
    int getNetConf() const { return net_.netConfState() != 0 ? 1 : 0; }
    // Settings, given once at start-up: the site's DNS search domain written into the
    // interface and resolver files, and the time limit of ifdown and ifup.
    void setDnsSearch(std::string domain) { dnsSearch_ = std::move(domain); }
    void setIfupTimeout(std::chrono::milliseconds timeout) { ifupTimeout_ = timeout; }
    // The gateway check of "verify_gateway" (by default the kernel's neighbour resolution on
    // eth0, netconf/gateway_check.h); tests stand in for it.
    void setGatewayCheck(GatewayCheck check) { gatewayCheck_ = std::move(check); }

    // --- "set_net_conf" (netconf/set_net_conf.cpp) ---
    void doSetNetConf(const Json::Value& request, Uart& uart) { answer(uart, setNetConf(request)); }
    // The decision and its work, run aside: the reply and how it is echoed.
    Answer setNetConf(const Json::Value& request);
    // --- eth0's files and restart (netconf/host_network.cpp) ---
    int setIpConfig(const std::string& ifname, const std::string& address,
                    const std::string& gateway, int prefixLength, const std::string& dnsFirst,
                    const std::string& dnsSecond);
    int clearNetConf();
    // --- the host information file (netconf/host_files.cpp) ---
    bool saveHostInfo(const std::string& idc, const std::string& socIp, const std::string& podId,
                      FileBatch* batch = nullptr);
    // --- the command record (netconf/cmd_record_store.cpp) ---
    Json::Value readCmdRecords();
    bool writeCmd2File(const Json::Value& request);

    // --- "get_net_conf" (query/get_net_conf.cpp) ---
    void doGetNetConf(const Json::Value& request, Uart& uart) { answer(uart, netConf(request)); }
    Answer netConf(const Json::Value& request);
    // --- the interface probes (query/if_probes.cpp) ---
    void getIpv4Addr(const char* ifname);
    void getIpv4NetMask(const char* ifname);
    void getIpv4Mac(const char* ifname);
    // Named by the board's interface; nothing calls them. IPv6 addresses are not read back
    // (get_net_conf reports the IPv6 settings as asked for), and the name servers are those of
    // the last apply, held in memory.
    void getIpAddr(const char* /*ifname*/) {}
    void getDns() {}

    // --- hardware sources (query/get_hw_conf.cpp) ---
    std::string getGpuModel(const char* path);
    std::uint64_t getRamSize(const char* path);  // kibibytes
    std::uint64_t getRomSize(const char* path);  // bytes

protected:
    // The one way a handler's answer goes out: sent, then echoed as the answer says.
    void answer(Uart& uart, const Answer& a) const { sendAnswer(uart, a, getDebugFlag()); }

    const BoardPaths& paths() const { return paths_; }

private:
    // What became of a "set_net_conf": its ret_val and, for one that asked for its gateway to
    // be checked, how that went ("gateway_check" of the reply).
    struct SetOutcome {
        int retVal = 0;
        const char* gatewayCheck = nullptr;
    };

    // --- netconf/set_net_conf.cpp ---
    // The checks, then clear, skip, place, apply or apply verified.
    SetOutcome setNetConfResult(const Json::Value& request);
    // A whole configuration: host files, eth0's restart, container files.
    int applyNetConf(const NetConfRequest& conf);
    // The same, recorded in the state file as in force once it fully succeeded.
    int applyInForce(const NetConfRequest& conf);
    // A clear, recorded likewise.
    int clearInForce();
    // Same addresses as the configuration in force: only the host information and container
    // files, and only where they differ.
    int refreshPlacement(const NetConfRequest& conf);
    bool writeHostInfo(const NetConfRequest& conf);
    bool writeContainers(const NetConfRequest& conf);
    // The state file says "unknown" while the board's files change (keeping the container
    // list when `containersChange` is false). False when it cannot (logged): then nothing may
    // change.
    bool markChanging(const InForce& before, bool containersChange);
    // Records `now` as in force; false when it cannot be (logged).
    bool recordInForce(const InForce& now);

    // --- netconf/verified_apply.cpp ---
    // An apply whose gateway must answer, `before` being the network state until then: the
    // previous configuration put back when it fails.
    SetOutcome applyVerified(const NetConfRequest& conf, const NetworkState& before);
    // ifdown, every file as it was, ifup again (not after a clear, which left eth0 down).
    bool putBack(const FileSnapshot& snapshot);

    // Body of the watcher thread (platform.cpp): follows the marker file, sets logEventFlag.
    void ThreadLooper();

    const BoardPaths paths_;
    const WaitForFd lineWait_;
    NetworkState net_;
    std::string dnsSearch_;
    std::chrono::milliseconds ifupTimeout_{std::chrono::seconds(qf::kDefaultIfupTimeoutSec)};
    GatewayCheck gatewayCheck_;

    bool envDebugFlag = false;
    // Marker-file half of the debug switch, written by the watcher thread.
    std::atomic<bool> logEventFlag{false};
    std::thread looperThread;
    int inotifyFd = -1;
    int inotifyWatch = -1;
    // Wakes the watcher when the object is destroyed, so the thread can be joined.
    UniqueFd stopEvent_;
};
