// SPDX-License-Identifier: Apache-2.0
// "verify_gateway" with the real ifupdown and kernel: a gateway on eth0's link (a veth peer)
// or not, IPv4 and IPv6, the board's hook hanging or killing ifup, the put-back failing.
#include <json/json.h>

#include <string>
#include <vector>

#include "board.h"
#include "board_conf.h"

namespace qftest {
namespace {

constexpr int kApplyMs = 40000;  // up to four runs of ifdown and ifup, and the check
constexpr int kIfupLimitSec = 4;

// The board's eth0 hook, with a fault staged in /var/tmp/hook.fault: "hang", or "crash",
// which kills the ifup that runs it; "once-" before either: for its next run only.
constexpr const char* kHook = R"sh(#!/bin/sh
echo "eth0_config.sh $*" >>/var/log/eth0_config.log
fault=$(cat /var/tmp/hook.fault 2>/dev/null) || exit 0
case $fault in once-*) rm -f /var/tmp/hook.fault; fault=${fault#once-} ;; esac
case $fault in
hang) exec sleep 60 ;;
crash)
    p=$PPID
    while [ "$p" -gt 1 ]; do
        [ "$(cat /proc/$p/comm)" = ifup ] && exec kill -KILL "$p"
        p=$(cut -d' ' -f4 "/proc/$p/stat")
    done ;;
esac
exit 0
)sh";

std::string verified(SimulatedBoard& board, const BoardConf& c, const std::string& uuid,
                     int seconds) {
    Json::Value request = c.request(uuid);
    request["verify_gateway"] = seconds;
    return board.request(qfclient::compactJson(request), kApplyMs);
}

std::string verifiedReply(const std::string& uuid, int retVal, const char* check) {
    return R"({"cmd":"set_net_conf","gateway_check":")" + std::string(check) + R"(","ret_val":)" +
           std::to_string(retVal) + R"(,"uuid":")" + uuid + "\"}\n";
}

Json::Value query(SimulatedBoard& board) {
    Json::Value reply;
    const std::string line = board.request(R"({"cmd":"get_net_conf","uuid":"q","in_force":true})");
    EXPECT_TRUE(Json::Reader().parse(line, reply)) << line;
    return reply;
}

// eth0 carries `c` alone, its files hold it, and the board says so.
void expectInForce(SimulatedBoard& board, const BoardConf& c, const std::string& why) {
    const std::string family = c.v6 ? "-6" : "-4";
    const std::string cidr = c.address() + "/" + std::to_string(c.prefix());
    EXPECT_EQ(board.inBoard("ip -o " + family +
                            " addr show dev eth0 scope global | sed 's/.* inet6* //;s/ .*//';"
                            "ip " +
                            family + " route show default | cut -d' ' -f1-5"),
              cidr + "\ndefault via " + c.gateway() + " dev eth0\n")
        << why;
    board.expectFiles(c.files(), why);
    const Json::Value reply = query(board);
    const char* familyName = c.v6 ? "ipv6" : "ipv4";
    EXPECT_EQ(reply["in_force"][familyName]["address"], c.address()) << why;
    EXPECT_EQ(reply["in_force"]["lxclist"].size(), static_cast<Json::ArrayIndex>(c.containers))
        << why;
    Json::Value live(Json::objectValue);
    live["address"] = c.address();
    live["netmask"] = c.prefix();
    Json::Value list(Json::arrayValue);
    list.append(live);
    EXPECT_EQ(reply["live"][familyName], list) << why;
}

using PutBack = BoardTest;

TEST_F(PutBack, TheGatewayAnswersOrThePreviousConfigurationComesBack) {
    BoardOptions options;
    options.stubs = {{"/usr/bin/eth0_config.sh", kHook}};
    SimulatedBoard& board =
        boot(options, {{"QUILLFERRY_IFUP_TIMEOUT", std::to_string(kIfupLimitSec)}});
    BoardConf a;
    ASSERT_EQ(board.request(a.line("a"), kApplyMs), setReply("a"));

    // The gateways that answer: those of the configurations 1 and 3.
    BoardConf v4;
    v4.net = 1;
    BoardConf v6;
    v6.v6 = true;
    v6.net = 3;
    board.inBoard("far() { nsenter --net=/run/netns/far \"$@\"; }; far ip addr add " +
                  v4.gateway() + "/24 dev uplink0 && far ip addr add " + v6.gateway() +
                  "/64 dev uplink0 nodad");
    const std::string kept = verified(board, v4, "v4", 5);
    // qemu-user passes no neighbour messages to the kernel: the check cannot run there.
    if (board.log().find("cannot send to the kernel: Operation not supported") != std::string::npos)
        GTEST_SKIP() << "the emulator refuses the kernel's neighbour messages";
    ASSERT_EQ(kept, verifiedReply("v4", 0, "answered"));
    expectInForce(board, v4, "kept");
    // The probe is answered while the gateway is waited for.
    BoardConf silent = v4;
    silent.net = 2;
    Json::Value request = silent.request("s4");
    request["verify_gateway"] = 2;
    ASSERT_EQ(board.exchange(qfclient::compactJson(request) + "\n" + std::string(golden::kProbe),
                             kApplyMs),
              std::string(golden::kAck) + verifiedReply("s4", -5, "silent"));
    expectInForce(board, v4, "put back");

    ASSERT_EQ(verified(board, v6, "v6", 5), verifiedReply("v6", 0, "answered"));
    expectInForce(board, v6, "kept (IPv6)");
    silent = v6;
    silent.net = 4;
    ASSERT_EQ(verified(board, silent, "s6", 2), verifiedReply("s6", -5, "silent"));
    expectInForce(board, v6, "put back (IPv6)");

    // The board's hook holds ifup past its time limit, or kills it: put back at once.
    ASSERT_EQ(verified(board, v4, "v4b", 5), verifiedReply("v4b", 0, "answered"));
    for (const char* fault : {"once-hang", "once-crash"}) {
        board.putFile("var/tmp/hook.fault", fault);
        EXPECT_EQ(verified(board, v6, fault, 5), verifiedReply(fault, -5, "not_run"));
        expectInForce(board, v4, fault);
    }
    // A change by hand shows among eth0's live addresses.
    board.inBoard("ip addr add 10.9.9.9/16 dev eth0");
    Json::Value byHand(Json::objectValue);
    byHand["address"] = "10.9.9.9";
    byHand["netmask"] = 16;
    EXPECT_EQ(query(board)["live"]["ipv4"][1], byHand);

    // Where even the put-back hangs, the board cannot tell what is in force.
    board.putFile("var/tmp/hook.fault", "hang");
    EXPECT_EQ(verified(board, v6, "h", 5), verifiedReply("h", -6, "not_run"));
    EXPECT_EQ(query(board)["in_force"], "unknown");
}

}  // namespace
}  // namespace qftest
