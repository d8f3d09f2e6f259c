// SPDX-License-Identifier: Apache-2.0
// What the serial line carries, as the daemon and the controller's client both know it: the
// liveness probe and its acknowledgement, how long a line and how large a request may be,
// the commands, the members that ask for more and the values of "ret_val". Nothing here
// names a path of the board or the daemon's state.
#pragma once

#include <cstddef>

namespace qf {

// The daemon reads a line up to 2047 bytes (and a zero byte); the rest of a longer one is
// dropped up to its newline.
inline constexpr std::size_t kReadBufferSize = 2048;

// The liveness probe: a line of its own, answered at once.
inline constexpr const char kProbe[] = "Quillferry_Status_Check_5c81e07b94f2";
inline constexpr std::size_t kProbeLength = sizeof(kProbe) - 1;  // 36
// The acknowledgement goes out with its terminating zero byte: 18 bytes.
inline constexpr const char kProbeAck[] = "Quillferry_Ok!!!\n";
inline constexpr std::size_t kProbeAckSize = sizeof(kProbeAck);

// Requests and the record file are refused beyond this nesting depth or number of values: no
// real request comes near either (a full line holds some 40 containers, 150 values), and more
// would only grow the record, the parser's stack and the daemon's memory.
inline constexpr int kMaxJsonDepth = 64;
inline constexpr int kMaxJsonValues = 256;

// Command names.
inline constexpr const char* kCmdSetNetConf = "set_net_conf";
inline constexpr const char* kCmdGetNetConf = "get_net_conf";
inline constexpr const char* kCmdGetStat = "get_stat";
inline constexpr const char* kCmdGetHwConf = "get_hardware_conf";

// "ret_val" of "set_net_conf" besides 0 and ifup's status.
inline constexpr int kRetRefused = -1;      // incomplete or unfit request: nothing changed
inline constexpr int kRetWriteFailed = -2;  // a board file could not be written or removed
inline constexpr int kRetTimedOut = -3;     // ifdown or ifup ran past its time limit
inline constexpr int kRetOutcomeLost = -4;  // how ifdown or ifup ended could not be learned
// Of a request that asked for its gateway to be checked ("verify_gateway"):
inline constexpr int kRetPutBack = -5;     // failed; the previous configuration is back
inline constexpr int kRetNotPutBack = -6;  // failed, and the previous one could not be put back

// "verify_gateway": how long the gateway may take to answer, in seconds.
inline constexpr const char* kVerifyGatewayMember = "verify_gateway";
inline constexpr int kVerifyGatewayMinSec = 1;
inline constexpr int kVerifyGatewayMaxSec = 120;
// Its outcome in the reply: "answered" (the configuration is kept), "silent" (put back), or
// "not_run": nothing was applied, or the apply failed before the gateway could be asked.
inline constexpr const char* kGatewayCheckMember = "gateway_check";
inline constexpr const char* kGatewayAnswered = "answered";
inline constexpr const char* kGatewaySilent = "silent";
inline constexpr const char* kGatewayNotChecked = "not_run";

// "get_net_conf" with "in_force": true reports what the board runs.
inline constexpr const char* kInForceMember = "in_force";

// The site's first IPv6 name server, which also fills an empty second name server of an IPv6
// "set_net_conf" request.
inline constexpr const char* kIpv6DefaultDns = "fdbd:dc00::10:8:8:8";

}  // namespace qf
