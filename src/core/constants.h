// SPDX-License-Identifier: Apache-2.0
// Fixed paths, names and values of the board. Everything the daemon reads or writes
// on the board is named here and nowhere else; what the line carries (shared with the
// controller's client) is in protocol/wire.h.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "protocol/wire.h"

namespace qf {

// The serial line.
inline constexpr const char* kSerialDevice = "/dev/ttyMSM0";
// Pauses of the loop while the device is missing or keeps failing (milliseconds).
inline constexpr int kReopenPauseMs = 1000;
inline constexpr int kReadFailurePauseMs = 100;
// A reply that the line does not take within this time is given up (a peer that never reads
// must not stop the daemon).
inline constexpr int kWriteTimeoutMs = 5000;
// Requests that arrive while an interface command runs wait in order, up to this many; more
// are dropped with a log line. The probe never waits.
inline constexpr std::size_t kWaitingRequestsMax = 16;

// The log's buffer in front of its writer thread: lines that do not fit while the log takes
// nothing are dropped and counted. Some hundreds of lines; a request logs a few dozen.
inline constexpr std::size_t kLogBufferBytes = std::size_t{64} * 1024;
// How long the log's writer, once woken, waits for more lines before it writes them all at
// once (unless a reply waits for them or the buffer is half full).
inline constexpr int kLogLingerMs = 10;
// The most it writes with one call (several lines for one stream).
inline constexpr std::size_t kLogWriteBytes = 4096;
// How long a reply waits for the log to take the lines before it (only while it takes lines).
inline constexpr int kLogCatchUpMs = 20;
// How long an orderly exit waits for the log to take what is left.
inline constexpr int kLogFlushAtExitMs = 2000;

// Debug switch: environment half and marker-file half.
inline constexpr const char* kDebugEnv = "QUILLFERRY_DEBUG";  // on when it starts with "true"
inline constexpr const char* kMarkerDir = "/var/tmp/quillferry";
inline constexpr const char* kMarkerFile = "/var/tmp/quillferry/openlog.event";
inline constexpr const char* kMarkerName = "openlog.event";  // as inotify names it
inline constexpr mode_t kMarkerDirMode = 0775;
// Room for ten events with names of the maximum length: 10 * (16 + 255 + 1).
inline constexpr std::size_t kEventBufferSize = 2720;

// The board's network: eth0, its files and the programs that restart it.
inline constexpr const char* kInterfaceName = "eth0";
inline constexpr const char* kInterfacesFile = "/etc/network/interfaces";
inline constexpr const char* kResolvConf = "/etc/resolv.conf";
inline constexpr const char* kIfdownProgram = "/usr/sbin/ifdown";
inline constexpr const char* kIfupProgram = "/usr/sbin/ifup";
inline constexpr const char* kPostUpScript = "/usr/bin/eth0_config.sh";  // the board's own
inline constexpr const char* kMtuFile = "/sys/class/net/eth0/mtu";
// Settings from the environment (/etc/default/quillferry for the service).
inline constexpr const char* kDnsSearchEnv = "QUILLFERRY_DNS_SEARCH";
inline constexpr const char* kDefaultDnsSearch = "quillferry.internal";
inline constexpr const char* kIfupTimeoutEnv = "QUILLFERRY_IFUP_TIMEOUT";  // seconds
inline constexpr int kDefaultIfupTimeoutSec = 120;
inline constexpr int kMaxIfupTimeoutSec = 3600;
// After a time-out, the rounds of killing what the command left behind (each round kills what
// the previous round's victims left): more than any chain of helpers.
inline constexpr int kKillRounds = 32;
// Bytes read of a /proc/PID/stat line, which tells a process's parent and start time: a
// command name of at most 16 bytes and some fifty numbers fit several times.
inline constexpr std::size_t kProcStatMax = 4096;

// How often a verified apply reads the gateway's neighbour entry while it waits for it.
inline constexpr int kNeighbourPollMs = 100;
// What a verified apply reads of the files it replaces, all together, to put them back: the
// board's own are a few kilobytes (some 300 bytes per container).
inline constexpr std::size_t kSnapshotBudget = std::size_t{64} * 1024;

// The configuration in force, kept across restarts in a state file of the daemon's own
// (StateDirectory= of the unit), and reported by "get_net_conf" with "in_force": true.
inline constexpr const char* kStateDir = "/var/lib/quillferry";
inline constexpr const char* kInForceFile = "/var/lib/quillferry/in-force.json";
inline constexpr mode_t kStateDirMode = 0755;
inline constexpr mode_t kStateFileMode = 0644;
// A state file is a few kilobytes; a larger one is not ours.
inline constexpr std::size_t kInForceReadCap = std::size_t{16} * 1024;
// eth0's live addresses in that reply: at most this many of each family.
inline constexpr std::size_t kLiveAddressesMax = 16;

// Files under /opt, for other software on the board (the containers read them).
inline constexpr const char* kHostInfoFile = "/opt/.hostinfo";
inline constexpr const char* kHostIpConfigFile = "/opt/.ipconfig.txt";  // binary, not text
inline constexpr const char* kLxcDir = "/opt/.lxc_ipconfig/";           // names are appended to it
inline constexpr const char* kCmdRecordFile = "/opt/.cmd.txt";
inline constexpr mode_t kOptFileMode = 0664;
inline constexpr mode_t kLxcDirMode = 0664;  // sic: the folder gets no search bits
// The record store reads at most this much; a larger file is not a record we wrote. The
// styled text of the largest request a line can carry (64 levels, 256 values) stays below
// 50 KiB; the cap bounds what a planted file can make the daemon hold.
inline constexpr std::size_t kCmdRecordReadCap = std::size_t{64} * 1024;

// Binary IP configuration defaults.
inline constexpr const char* kIpv4DefaultAddress = "192.168.9.2";
inline constexpr int kIpv4DefaultPrefix = 24;
inline constexpr const char* kIpv4DefaultGateway = "192.168.9.1";
inline constexpr const char* kIpv4DefaultDns = "8.8.8.8";  // first and second
// The site's IPv6 name servers: the first is kIpv6DefaultDns (protocol/wire.h).
inline constexpr const char* kIpv6SecondDefaultDns = "fdbd:dc00::10:8:8:9";

// Status sources: the thermal zones (zones 0 and 16 to 23 are not read) and the first CPU
// of each cluster with its top frequency (kHz).
inline constexpr const char* kThermalZoneFiles[] = {
    "/sys/class/thermal/thermal_zone1/temp",  "/sys/class/thermal/thermal_zone2/temp",
    "/sys/class/thermal/thermal_zone3/temp",  "/sys/class/thermal/thermal_zone4/temp",
    "/sys/class/thermal/thermal_zone5/temp",  "/sys/class/thermal/thermal_zone6/temp",
    "/sys/class/thermal/thermal_zone7/temp",  "/sys/class/thermal/thermal_zone8/temp",
    "/sys/class/thermal/thermal_zone9/temp",  "/sys/class/thermal/thermal_zone10/temp",
    "/sys/class/thermal/thermal_zone11/temp", "/sys/class/thermal/thermal_zone12/temp",
    "/sys/class/thermal/thermal_zone13/temp", "/sys/class/thermal/thermal_zone14/temp",
    "/sys/class/thermal/thermal_zone15/temp", "/sys/class/thermal/thermal_zone24/temp",
};
struct CpuCluster {
    const char* name;
    const char* freqFile;
    long topFreq;
};
inline constexpr CpuCluster kCpuClusters[] = {
    {"cpu0", "/sys/devices/system/cpu/cpufreq/policy0/cpuinfo_cur_freq", 1804800},
    {"cpu4", "/sys/devices/system/cpu/cpufreq/policy4/cpuinfo_cur_freq", 2419200},
    {"cpu7", "/sys/devices/system/cpu/cpufreq/policy7/cpuinfo_cur_freq", 2841600},
};

// Hardware sources and how they are reported.
inline constexpr const char* kCpuModel = "QCS8250";
inline constexpr const char* kGpuModelFile = "/sys/kernel/gpu/gpu_model";
inline constexpr const char* kMemInfoFile = "/proc/meminfo";  // its first line: MemTotal
inline constexpr const char* kDataPath = "/data/";            // the storage's file system
inline constexpr const char* kRamLabel = "G LPDDR5";
inline constexpr const char* kRomLabel = "G UFS3.0";
inline constexpr std::size_t kInfoFileMax = 256;  // bytes read of a small system file
// A status file that cannot be opened or read is looked for again after this long (ms).
inline constexpr int kMissingSourceRetryMs = 1000;

}  // namespace qf
