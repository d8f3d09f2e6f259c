// SPDX-License-Identifier: Apache-2.0
// "set_net_conf" and "get_net_conf" end to end with the real ifupdown, and what only a real
// board can stage: planted links, helpers of a stalled ifup, the probe while ifup runs.
#include <json/json.h>

#include <string>
#include <vector>

#include "board.h"
#include "board_conf.h"
#include "expect_text.h"

namespace qftest {
namespace {

constexpr int kApplyMs = 15000;  // ifdown and ifup, with DAD for IPv6
constexpr const char* kQuery = R"({"cmd":"get_net_conf","uuid":"q"})";

std::string apply(SimulatedBoard& board, const Json::Value& request) {
    return board.request(qfclient::compactJson(request), kApplyMs);
}

// eth0 carries the configuration, every file holds it, and the post-up hook's stand-in has run
// `hookRuns` times in all. (The files' modes are checked on a scratch board.)
void expectApplied(const SimulatedBoard& board, const BoardConf& c, int hookRuns) {
    const std::string net = board.inBoard("ip -o addr show dev eth0; ip route; ip -6 route");
    const std::string cidr = c.address() + "/" + std::to_string(c.prefix());
    EXPECT_HAS(net, (c.v6 ? "inet6 " : "inet ") + cidr);
    EXPECT_HAS(net, "default via " + c.gateway() + " dev eth0 ");
    std::string hooks;
    for (int i = 0; i < hookRuns; ++i)
        hooks += "eth0_config.sh  IFACE=eth0 MODE=start PHASE=post-up\n";
    auto files = c.files();
    files["/var/log/eth0_config.log"] = hooks;
    board.expectFiles(files);
}

// The expected query reply: `members` are the ones sorted before "mac", each with its comma.
// The MAC is eth0's, given to the board in upper case and read back in lower case.
std::string netConfReply(const std::string& members, const std::string& nameservers = "") {
    return R"({"cmd":"get_net_conf",)" + members +
           R"("mac":"02:51:46:ab:cd:ef","method":"static","nameservers":[)" + nameservers +
           R"(],"ret_val":0,"uuid":"q"})" + "\n";
}

// The query's reply once `c` is applied.
std::string appliedReply(const BoardConf& c) {
    const std::string family = c.v6 ? "\"ipv6\":" : "\"ipv4\":";
    std::string members = family + R"({"address":")" + c.address() + R"(","gateway":")" +
                          c.gateway() + R"(","netmask":)" + std::to_string(c.prefix()) +
                          R"(},"lxclist":[)";
    for (int i = 1; i <= c.containers; ++i) {
        members += std::string(i > 1 ? ",{" : "{") + family + '"' + c.containerIp(i) +
                   R"(","mac":")" + c.mac(i) + R"("})";
    }
    return netConfReply(members + "],", '"' + c.dns1() + R"(",")" + c.dns2() + '"');
}

using NetConfig = BoardTest;

TEST_F(NetConfig, AppliedQueriedMovedToIpv6AndClearedAcrossARestart) {
    const std::string hostInterfaces = readText("/etc/network/interfaces");
    BoardOptions options;
    options.mac = "02:51:46:AB:CD:EF";
    BoardConf v4;
    v4.search = "corp.example";
    const SimulatedBoard::Env env = {{"QUILLFERRY_DNS_SEARCH", v4.search}};
    SimulatedBoard& board = boot(options, env);
    EXPECT_EQ(board.request(kQuery), netConfReply(""));

    ASSERT_EQ(apply(board, v4.request("u1")), setReply("u1"));
    expectApplied(board, v4, 1);
    EXPECT_EQ(board.request(kQuery), appliedReply(v4));

    // The query reads eth0's address and prefix back, and the same request compares with
    // them: it is applied again once eth0 no longer carries it.
    ASSERT_EQ(
        board.inBoard("ip addr flush dev eth0 && ip addr add " + v4.address() + "/16 dev eth0"),
        "");
    EXPECT_EQ(board.request(kQuery), appliedReply(v4));
    ASSERT_EQ(apply(board, v4.request("u1")), setReply("u1"));
    expectApplied(board, v4, 2);

    // Going to IPv6 takes eth0 down with the IPv4 definition, so nothing of it stays.
    BoardConf v6 = v4;
    v6.v6 = true;
    ASSERT_EQ(apply(board, v6.request("u6")), setReply("u6"));
    expectApplied(board, v6, 3);
    EXPECT_EQ(board.inBoard("ip -o -4 addr show dev eth0 scope global; ip -4 route show default"),
              "");
    EXPECT_EQ(board.request(kQuery), appliedReply(v6));

    // A clear takes eth0 down; after a restart the remembered clear is reported once.
    ASSERT_EQ(apply(board, qfclient::clearRequest("c", true)), setReply("c"));
    EXPECT_HAS(board.inBoard("ip -o link show dev eth0"), " state DOWN ");
    board.restartDaemon(env);
    EXPECT_EQ(board.request(kQuery),
              netConfReply(R"("ipv6":{"address":"clear","gateway":"clear","netmask":0},)"));
    EXPECT_EQ(board.request(kQuery), netConfReply(""));
    EXPECT_EQ(readText("/etc/network/interfaces"), hostInterfaces);  // none of it on this machine
}

using HostileBoard = BoardTest;

TEST_F(HostileBoard, PlantedLinksStalledHelpersAndTheProbeDuringAnApply) {
    SimulatedBoard& board =
        boot(BoardOptions::withInterfaceStubs(), {{"QUILLFERRY_IFUP_TIMEOUT", "3"}});
    BoardConf conf;
    const auto send = [&](const char* uuid) {  // never the configuration in force
        return (++conf.net, conf.request(uuid));
    };
    ASSERT_EQ(apply(board, send("a")), setReply("a"));

    // Links planted by someone else than root are not written through. (An unprivileged
    // board cannot give a link to another user.)
    if (board.run({"sh", "-c",
                   "echo precious >/var/tmp/victim && mkdir /var/tmp/cron && "
                   "ln -sf /var/tmp/victim /opt/.hostinfo && mv /opt/.lxc_ipconfig /opt/old && "
                   "ln -s /var/tmp/cron /opt/.lxc_ipconfig && "
                   "chown -h 1000 /opt/.hostinfo /opt/.lxc_ipconfig"}) == 0) {
        EXPECT_EQ(apply(board, send("l")), setReply("l", -2));
        EXPECT_EQ(board.inBoard("cat /var/tmp/victim; ls -A /var/tmp/cron"), "precious\n");
        board.inBoard("rm /opt/.hostinfo /opt/.lxc_ipconfig && mv /opt/old /opt/.lxc_ipconfig");
    }

    // An ifup past its time limit dies with what it started, also what left its process
    // group and session (the daemon adopts it); but not a helper that an earlier ifup left
    // running, which the daemon adopts while the stalled one runs (its parent ends then).
    board.putFile("var/tmp/fault.ifup", "(sleep 61 & sleep 2) &\n");
    ASSERT_EQ(apply(board, send("h")), setReply("h"));
    board.putFile("var/tmp/fault.ifup",
                  "sleep 60 & setsid -f sh -c 'sleep 60 & exec sleep 60'; sleep 60\n");
    EXPECT_EQ(apply(board, send("s")), setReply("s", -3));
    EXPECT_EQ(board.run({"pkill", "-f", "^sleep 61"}), 0) << "the earlier ifup's helper was killed";
    // Under qemu-user (the board's build on another machine) the emulator refuses to make the
    // daemon a subreaper, which it says at start; the helpers outside the group live on there.
    if (board.log().find("cannot adopt orphaned processes") == std::string::npos) {
        EXPECT_NE(board.run({"pgrep", "-f", "^sleep 60"}), 0)
            << "a sleep of a stalled command lives";
    } else {
        board.run({"pkill", "-f", "^sleep 60"});
    }
    EXPECT_HAS(
        board.log(),
        "[QuillFerry] /usr/sbin/ifup eth0 --ignore-errors did not finish within 3 s: killed\n");

    // While ifup runs, the probe is answered at once and other requests wait, sixteen at
    // the most: the next is dropped, and the log says so.
    board.putFile("var/tmp/fault.ifup", "sleep 1\n");
    EXPECT_EQ(board.exchange(qfclient::compactJson(send("p")) + "\n" + std::string(golden::kProbe),
                             kApplyMs),
              std::string(golden::kAck) + setReply("p"));
    std::string waiting = qfclient::compactJson(send("q")) + "\n";
    for (int i = 0; i < 17; ++i)
        waiting += R"({"cmd":"get_stat","uuid":"w)" + std::to_string(i) + "\"}\n";
    ASSERT_TRUE(board.send(waiting));
    std::string first;
    ASSERT_EQ(board.link().readLine(first, kApplyMs), qfclient::SerialLink::Status::Ok);
    EXPECT_EQ(first, setReply("q"));
    const std::string served = board.fence();
    EXPECT_HAS(served, R"("uuid":"w15"})");
    EXPECT_LACKS(served, R"("uuid":"w16"})");
    EXPECT_HAS(board.log(), "[QuillFerry] busy: 16 requests already wait, line dropped\n");
}

}  // namespace
}  // namespace qftest
