// SPDX-License-Identifier: Apache-2.0
// The daemon's one platform object: the board's context that every command handler works on
// (network state, settings, paths), the two halves of the debug switch with the watcher
// thread that follows the marker file, and the board's named operations, each a one-line
// shell over the unit that does the work (platform_operations.cpp). The handlers themselves
// are units of their own, found through the dispatch table (core/command_table.h).
#pragma once

#include <json/json.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>

#include "core/board_context.h"
#include "core/status.h"
#include "core/unique_fd.h"

class FileBatch;

class Platform {
public:
    // Nothing is started here (see start()).
    explicit Platform(BoardPaths paths = {}) : board_(std::move(paths)) {}
    virtual ~Platform();
    Platform(const Platform&) = delete;
    Platform& operator=(const Platform&) = delete;

    // What the command handlers work on.
    BoardContext& board() { return board_; }

    // --- start-up and the debug switch (platform.cpp) ---
    // Makes the marker folder when missing, reads the marker and starts the watcher thread.
    void start();
    // Environment half of the debug switch; rewritten at the start of every loop turn.
    void setDebugFlag(bool on) { envDebugFlag = on; }
    // True while either half is on.
    bool getDebugFlag() const {
        return envDebugFlag || logEventFlag.load(std::memory_order_relaxed);
    }
    // Settings, given once at start-up.
    void setDnsSearch(std::string domain) { board_.dnsSearch = std::move(domain); }
    void setIfupTimeout(std::chrono::milliseconds timeout) { board_.ifupTimeout = timeout; }

    // --- the board's named operations (platform_operations.cpp) ---
    virtual std::string getCpuModel();
    // 1 once the network configuration was applied or cleared since start-up.
    int getNetConf() const;
    // eth0's files and restart.
    Status setIpConfig(const std::string& ifname, const std::string& address,
                       const std::string& gateway, int prefixLength, const std::string& dnsFirst,
                       const std::string& dnsSecond);
    Status clearNetConf();
    // The host information file.
    bool saveHostInfo(const std::string& idc, const std::string& socIp, const std::string& podId,
                      FileBatch* batch = nullptr);
    // The command record.
    Json::Value readCmdRecords();
    bool writeCmd2File(const Json::Value& request);
    // The interface probes, into the network state.
    void getIpv4Addr(const char* ifname);
    void getIpv4NetMask(const char* ifname);
    void getIpv4Mac(const char* ifname);
    // Hardware sources.
    std::string getGpuModel(const char* path);
    std::uint64_t getRamSize(const char* path);  // kibibytes
    std::uint64_t getRomSize(const char* path);  // bytes

private:
    // Body of the watcher thread (platform.cpp): follows the marker file, sets logEventFlag.
    void ThreadLooper();

    BoardContext board_;
    bool envDebugFlag = false;
    // Marker-file half of the debug switch, written by the watcher thread.
    std::atomic<bool> logEventFlag{false};
    std::thread looperThread;
    int inotifyFd = -1;
    int inotifyWatch = -1;
    // Wakes the watcher when the object is destroyed, so the thread can be joined.
    UniqueFd stopEvent_;
};
