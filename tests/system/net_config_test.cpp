// "set_net_conf" and "get_net_conf" end to end on a board with the real ifupdown: what eth0
// carries, the exact files left behind, that skipped, refused and clearing requests change
// only what they should, and what the query reports from the record file, the applied
// state and eth0 (whose refreshed address feeds the next "set_net_conf").
#include <json/json.h>

#include <string>
#include <vector>

#include "board.h"
#include "ctl/request.h"
#include "ipconfig/generate_ip_config.h"

namespace qftest {
namespace {

constexpr int kApplyMs = 15000;  // ifdown and ifup, with DAD for IPv6
constexpr const char* kLoopback =
    "# The loopback network interface\nauto lo\niface lo inet loopback\nauto eth0\n";

struct Conf {
    bool v6;
    std::string address;
    std::string gateway;
    int prefix;
    std::vector<std::string> nameservers;  // as sent
    std::string dns2;                      // the second name server the board uses
    std::vector<std::string> containers;   // addresses; MACs 02:00:00:00:00:0a, 0b, ...
};

// clang-format off
Conf v4() {
    return {false, "10.0.0.8", "10.0.0.1", 24, {"1.1.1.1", "8.8.8.8"}, "8.8.8.8",
            {"10.0.0.10", "10.0.0.11"}};
}
// One name server: the board fills in its IPv6 default as the second.
Conf v6() {
    return {true, "fd00::8", "fd00::1", 64, {"fd00::53"}, "fdbd:dc00::10:8:8:8",
            {"fd00::10", "fd00::11"}};
}
// clang-format on

std::string mac(std::size_t i) {
    return "02:00:00:00:00:0" + std::string(1, static_cast<char>('a' + i));
}

Json::Value requestOf(const Conf& c, const char* uuid) {
    Json::Value r;
    r["cmd"] = "set_net_conf";
    r["uuid"] = uuid;
    const char* family = c.v6 ? "ipv6" : "ipv4";
    r[family]["address"] = c.address;
    r[family]["gateway"] = c.gateway;
    r[family]["netmask"] = c.prefix;
    r["location"]["idc"] = "dc1";
    r["location"]["soc_ip"] = "10.0.0.8";
    r["location"]["pod_id"] = 3;
    for (const std::string& ns : c.nameservers) r["nameservers"].append(ns);
    for (std::size_t i = 0; i < c.containers.size(); ++i) {
        r["lxclist"][static_cast<int>(i)]["mac"] = mac(i);
        r["lxclist"][static_cast<int>(i)][family] = c.containers[i];
    }
    return r;
}

std::string line(const Json::Value& request) {
    return ctl::compactJson(request);
}

Json::Value parse(const std::string& text) {
    Json::Value value;
    EXPECT_TRUE(Json::Reader().parse(text, value)) << text;
    return value;
}

std::string setReply(const std::string& uuid, int retVal = 0) {
    return R"({"cmd":"set_net_conf","ret_val":)" + std::to_string(retVal) + R"(,"uuid":")" + uuid +
           "\"}\n";
}

std::string ipRecord(const Conf& c, const std::string& address) {
    const std::vector<unsigned char> bytes =
        GenerateIpConfig(nullptr, address, c.gateway, c.nameservers[0], c.dns2, "eth0", c.prefix,
                         c.v6 ? 1 : 0)
            .render();
    return std::string(bytes.begin(), bytes.end());
}

// Runs a shell script in the board, as its root: only root enters the container folder.
std::string inBoard(const SimulatedBoard& board, const std::string& script) {
    std::string out;
    EXPECT_EQ(board.run({"sh", "-c", script}, &out), 0) << script << ": " << out;
    return out;
}

// Mode (octal) on the first line, then the content; "missing" when there is no such file.
std::string modeAndContent(const SimulatedBoard& board, const std::string& path) {
    std::string out;
    return board.run({"sh", "-c", "stat -c %a $0 && cat $0", path}, &out) == 0 ? out : "missing";
}

// Everything a skipped or refused request must leave alone, inodes included.
std::string boardState(const SimulatedBoard& board) {
    return inBoard(board,
                   "ip -o addr show dev eth0 scope global; ip route show dev eth0; ip -6 route "
                   "show dev eth0; for f in /etc/network/interfaces /etc/resolv.conf "
                   "/opt/.hostinfo /opt/.ipconfig.txt /opt/.lxc_ipconfig/*; do "
                   "stat -c '%n %i %a %s' $f && cat $f; echo; done");
}

void expectApplied(const SimulatedBoard& board, const Conf& c, int hookRuns) {
    const std::string cidr = c.address + "/" + std::to_string(c.prefix);
    EXPECT_NE(inBoard(board, "ip -o addr show dev eth0").find((c.v6 ? "inet6 " : "inet ") + cidr),
              std::string::npos);
    EXPECT_NE(inBoard(board, c.v6 ? "ip -6 route" : "ip route")
                  .find("default via " + c.gateway + " dev eth0 "),
              std::string::npos);
    EXPECT_EQ(board.readFile("etc/network/interfaces"),
              kLoopback +
                  std::string(c.v6 ? "#IPV6 static configuration\niface eth0 inet6 static\n"
                                   : "iface eth0 inet static\n") +
                  "    address " + cidr + "\n    gateway " + c.gateway +
                  "\n    dns-search corp.example\n    post-up /usr/bin/eth0_config.sh\n");
    EXPECT_EQ(board.readFile("etc/resolv.conf"),
              "domain corp.example\noptions rotate\nnameserver " + c.nameservers[0] +
                  "\nnameserver " + c.dns2 + "\n");
    EXPECT_EQ(modeAndContent(board, "/opt/.hostinfo"), "664\nidc=dc1,soc_ip=10.0.0.8,pod_id=3");
    EXPECT_EQ(modeAndContent(board, "/opt/.ipconfig.txt"), "664\n" + ipRecord(c, c.address));
    for (std::size_t i = 0; i < c.containers.size(); ++i) {
        const std::string n = std::to_string(i + 1);
        EXPECT_EQ(modeAndContent(board, "/opt/.lxc_ipconfig/mac_" + n), "664\n" + mac(i));
        EXPECT_EQ(modeAndContent(board, "/opt/.lxc_ipconfig/ip_" + n), "664\n" + c.containers[i]);
        EXPECT_EQ(inBoard(board, "cat /opt/.lxc_ipconfig/ipconfig_" + n),
                  ipRecord(c, c.containers[i]));
    }
    std::string hooks;  // the post-up script's stand-in logs each run
    for (int i = 0; i < hookRuns; ++i)
        hooks += "eth0_config.sh  IFACE=eth0 MODE=start PHASE=post-up\n";
    EXPECT_EQ(board.readFile("var/log/eth0_config.log"), hooks);
}

using NetConfig = BoardTest;

TEST_F(NetConfig, AppliedSkippedRefusedRestartedAndCleared) {
    const std::string hostInterfaces = readText("/etc/network/interfaces");
    const std::string hostResolver = readText("/etc/resolv.conf");
    const SimulatedBoard::Env search = {{"QUILLFERRY_DNS_SEARCH", "corp.example"}};
    SimulatedBoard& board = boot({}, search);
    ASSERT_EQ(board.request(line(requestOf(v4(), "u1")), kApplyMs), setReply("u1"));
    expectApplied(board, v4(), 1);

    // The same addresses with another location and a shorter container list: the host
    // information and the first container's files are rewritten (the second's stay), eth0 is
    // not restarted. Sent again, nothing changes at all.
    const char* network =
        "ip -o addr show dev eth0; stat -c '%n %i' /etc/network/interfaces "
        "/etc/resolv.conf /opt/.ipconfig.txt /opt/.lxc_ipconfig/*_2";
    const std::string untouched = inBoard(board, network);
    Json::Value same = requestOf(v4(), "u2");
    same["location"]["idc"] = "dc2";
    same["lxclist"].resize(1);
    EXPECT_EQ(board.request(line(same), kApplyMs), setReply("u2"));
    EXPECT_EQ(modeAndContent(board, "/opt/.hostinfo"), "664\nidc=dc2,soc_ip=10.0.0.8,pod_id=3");
    EXPECT_EQ(inBoard(board, network), untouched);
    const std::string applied = boardState(board);
    LogMark m = board.mark();
    EXPECT_EQ(board.exchange(line(same), kApplyMs), setReply("u2"));
    EXPECT_NE(board.logSince(m).find("ip config not changed, ingore!\n"), std::string::npos);
    EXPECT_EQ(boardState(board), applied);

    // Refused values reach no file and no command, but the request is recorded.
    const struct {
        const char* member;
        const char* inner;  // null: the member itself
        const char* value;
    } refused[] = {
        {"ipv4", "address", R"("10.0.0.9/24\n    up touch /tmp/pwned #")"},
        {"ipv4", "address", R"("10.0.0.9\u0000\n    up touch /tmp/pwned")"},
        {"nameservers", nullptr, R"(["1.1.1.1\u0000\nnameserver 6.6.6.6"])"},
        {"location", nullptr, "null"},
        {"ipv4", "gateway", R"("fd00::1")"},
        {"ipv4", "netmask", "33"},
        {"ipv4", "netmask", "4294967320"},
        {"nameservers", nullptr, R"(["ns.example"])"},
        {"nameservers", nullptr, R"([["1.1.1.1"],"8.8.8.8"])"},
    };
    Json::Value last;
    for (const auto& c : refused) {
        last = requestOf(v4(), "r");
        (c.inner != nullptr ? last[c.member][c.inner] : last[c.member]) = parse(c.value);
        EXPECT_EQ(board.exchange(line(last), kApplyMs), setReply("r", -1)) << line(last);
        EXPECT_EQ(boardState(board), applied) << line(last);
        EXPECT_EQ(parse(board.readFile("opt/.cmd.txt"))["set_net_conf"], last);
    }
    EXPECT_NE(board.run({"test", "-e", "/tmp/pwned"}), 0);

    // The record outlives the daemon; the state in memory does not, so the same
    // configuration is applied again.
    board.restartDaemon(search);
    EXPECT_EQ(parse(board.readFile("opt/.cmd.txt"))["set_net_conf"], last);
    ASSERT_EQ(board.request(line(requestOf(v4(), "u3")), kApplyMs), setReply("u3"));
    expectApplied(board, v4(), 2);

    // Going to IPv6 takes eth0 down with the IPv4 definition, so nothing of it stays.
    ASSERT_EQ(board.request(line(requestOf(v6(), "u6")), kApplyMs), setReply("u6"));
    expectApplied(board, v6(), 3);
    EXPECT_EQ(inBoard(board, "ip -o -4 addr show dev eth0 scope global; ip -4 route show default"),
              "");

    const std::string resolver = board.readFile("etc/resolv.conf");
    const std::string containers = inBoard(board, "cd /opt/.lxc_ipconfig && ls && cat *");
    const char* clear = R"({"cmd":"set_net_conf","uuid":"c","ipv4":{"address":"clear",)"
                        R"("gateway":"clear"},"location":{},"nameservers":[]})";
    EXPECT_EQ(board.request(clear, kApplyMs), setReply("c"));
    EXPECT_EQ(board.readFile("etc/network/interfaces"),
              kLoopback + std::string("iface eth0 inet static\n"));
    EXPECT_NE(inBoard(board, "ip -o link show dev eth0").find(" state DOWN "), std::string::npos);
    EXPECT_EQ(inBoard(board, "ip -o addr show dev eth0 scope global"), "");
    EXPECT_EQ(board.readFile("etc/resolv.conf"), resolver);
    EXPECT_EQ(modeAndContent(board, "/opt/.hostinfo"), "missing");
    EXPECT_EQ(modeAndContent(board, "/opt/.ipconfig.txt"), "missing");
    EXPECT_EQ(inBoard(board, "cd /opt/.lxc_ipconfig && ls && cat *"), containers);

    // All of it happened in the board, none on this machine.
    EXPECT_EQ(readText("/etc/network/interfaces"), hostInterfaces);
    EXPECT_EQ(readText("/etc/resolv.conf"), hostResolver);
}

constexpr const char* kQuery = R"({"cmd":"get_net_conf","uuid":"q"})";
constexpr const char* kV4Settings =
    R"("ipv4":{"address":"10.0.0.8","gateway":"10.0.0.1","netmask":24},)";

// The expected reply: `members` are the ones sorted before "mac", each with its comma. The
// MAC is eth0's, given to the board in upper case and read back in lower case.
std::string netConfReply(const std::string& members, const std::string& nameservers) {
    return R"({"cmd":"get_net_conf",)" + members +
           R"("mac":"02:51:46:ab:cd:ef","method":"static","nameservers":[)" + nameservers +
           R"(],"ret_val":0,"uuid":"q"})" + "\n";
}

std::string lxclist(const char* family, const char* ip1, const char* ip2) {
    const std::string f = std::string("\"") + family + "\":\"";
    return R"("lxclist":[{)" + f + ip1 + R"(","mac":"02:00:00:00:00:0a"},{)" + f + ip2 +
           R"(","mac":"02:00:00:00:00:0b"}],)";
}

using NetQuery = BoardTest;

TEST_F(NetQuery, ReportsTheRecordTheAppliedStateAndEth0) {
    BoardOptions options;
    options.mac = "02:51:46:AB:CD:EF";
    SimulatedBoard& board = boot(options);
    EXPECT_EQ(board.request(kQuery), netConfReply("", ""));

    // Record files written from outside, of any shape, are answered from what is usable.
    const struct {
        std::string record;
        std::string members;  // expected address objects
    } records[] = {
        {"[1,2]", ""},
        {R"({"set_net_conf":"x"})", ""},
        {R"({"set_net_conf":{"ipv4":24}})", R"("ipv4":{"address":"","gateway":"","netmask":0},)"},
        // The prefix is kept in 8 bits; a family that is no object reports the other's.
        {R"({"set_net_conf":{"ipv4":{"address":"10.0.0.8","gateway":"10.0.0.1","netmask":280},)"
         R"("ipv6":[1]}})",
         std::string(kV4Settings) +
             R"("ipv6":{"address":"10.0.0.8","gateway":"10.0.0.1","netmask":24},)"},
    };
    for (const auto& c : records) {
        board.putFile("opt/.cmd.txt", c.record.c_str());
        EXPECT_EQ(board.request(kQuery), netConfReply(c.members, "")) << c.record;
    }

    ASSERT_EQ(board.request(line(requestOf(v4(), "u1")), kApplyMs), setReply("u1"));
    const std::string applied = netConfReply(
        kV4Settings + lxclist("ipv4", "10.0.0.10", "10.0.0.11"), R"("1.1.1.1","8.8.8.8")");
    EXPECT_EQ(board.request(kQuery), applied);

    // The query reads eth0's address and prefix back, and the same request compares with
    // them: it is skipped only while eth0 really carries what it asks for.
    const struct {
        const char* change;  // run in the board before the query
        bool skipped;
    } changes[] = {
        {"true", true},
        {"ip addr flush dev eth0 && ip addr add 10.0.0.9/24 dev eth0", false},
        {"ip addr flush dev eth0 && ip addr add 10.0.0.8/16 dev eth0", false},
    };
    for (const auto& c : changes) {
        ASSERT_EQ(board.run({"sh", "-c", c.change}), 0) << c.change;
        EXPECT_EQ(board.request(kQuery), applied) << c.change;
        const LogMark m = board.mark();
        EXPECT_EQ(board.exchange(line(requestOf(v4(), "u1")), kApplyMs), setReply("u1"))
            << c.change;
        EXPECT_EQ(board.logSince(m).find("ip config not changed") != std::string::npos, c.skipped)
            << c.change;
    }

    // After a restart only the record file is left: no name servers, no containers.
    board.restartDaemon();
    EXPECT_EQ(board.request(kQuery), netConfReply(kV4Settings, ""));

    ASSERT_EQ(board.request(line(requestOf(v6(), "u6")), kApplyMs), setReply("u6"));
    EXPECT_EQ(board.request(kQuery),
              netConfReply(R"("ipv6":{"address":"fd00::8","gateway":"fd00::1","netmask":64},)" +
                               lxclist("ipv6", "fd00::10", "fd00::11"),
                           R"("fd00::53","fdbd:dc00::10:8:8:8")"));

    // A clear keeps the container list; cleared, its addresses stand under "ipv4".
    ASSERT_EQ(board.request(R"({"cmd":"set_net_conf","uuid":"c","ipv6":{"address":"fd00::8",)"
                            R"("gateway":"clear","netmask":64},"location":{},"nameservers":[]})",
                            kApplyMs),
              setReply("c"));
    EXPECT_EQ(board.request(kQuery), netConfReply(lxclist("ipv4", "fd00::10", "fd00::11"), ""));

    // After a restart the remembered clear is reported once, and that moves the state.
    board.restartDaemon();
    const char* stat = R"({"cmd":"get_stat","uuid":"s"})";
    EXPECT_NE(board.request(stat).find(R"("netconf":0,)"), std::string::npos);
    EXPECT_EQ(board.request(kQuery),
              netConfReply(R"("ipv6":{"address":"clear","gateway":"clear","netmask":0},)", ""));
    EXPECT_NE(board.request(stat).find(R"("netconf":1,)"), std::string::npos);
    EXPECT_EQ(board.request(kQuery), netConfReply("", ""));
}

// Stand-in for ifdown and ifup where a fault must be staged: logs how it was started, then
// runs what /var/tmp/fault.<its name> says, if there is such a file.
constexpr const char* kInterfaceStub = R"(#!/bin/sh
echo "${0##*/} $* parent=$(readlink /proc/$PPID/exe) search=$QUILLFERRY_DNS_SEARCH" >>/var/log/ifcmd.log
[ -f "/var/tmp/fault.${0##*/}" ] && . "/var/tmp/fault.${0##*/}"
exit 0
)";

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

using HostileBoard = BoardTest;

TEST_F(HostileBoard, FailuresAreReportedRetriedAndNeverSilenceTheProbe) {
    BoardOptions options;
    options.stubs = {{"/usr/sbin/ifdown", kInterfaceStub}, {"/usr/sbin/ifup", kInterfaceStub}};
    SimulatedBoard& board = boot(
        options, {{"QUILLFERRY_IFUP_TIMEOUT", "3"}, {"QUILLFERRY_DNS_SEARCH", "corp.example"}});
    const auto ifups = [&] { return count(board.readFile("var/log/ifcmd.log"), "ifup eth0"); };
    Conf conf = v4();
    const auto send = [&](const char* uuid) {
        return board.request(line(requestOf(conf, uuid)), 15000);
    };

    // Run directly, not through a shell, with the daemon's environment; a failing ifup is
    // reported, and the identical retry runs it again instead of skipping it as unchanged.
    board.putFile("var/tmp/fault.ifup", "exit 3\n");
    EXPECT_EQ(send("f"), setReply("f", 3 << 8));
    const std::string calls = board.readFile("var/log/ifcmd.log");
    EXPECT_EQ(count(calls, "ifdown eth0 --ignore-errors parent=/"), 1u) << calls;
    EXPECT_EQ(count(calls, "ifup eth0 --ignore-errors parent=/"), 1u) << calls;
    EXPECT_EQ(count(calls, "sh search=corp.example\n"), 0u) << calls;
    EXPECT_EQ(count(calls, " search=corp.example\n"), 2u) << calls;
    board.putFile("var/tmp/fault.ifup", nullptr);
    EXPECT_EQ(send("f"), setReply("f"));
    EXPECT_EQ(ifups(), 2u);
    EXPECT_EQ(send("f"), setReply("f"));
    EXPECT_EQ(ifups(), 2u);

    // A file that cannot be replaced (a folder stands at its place) is a failure, and so the
    // identical retry after the fault is gone is applied in full.
    conf.address = "10.0.0.9";
    board.putFile("opt/.ipconfig.txt", nullptr);
    board.putFile("opt/.ipconfig.txt/keep", "");
    EXPECT_EQ(send("w"), setReply("w", -2));
    ASSERT_EQ(board.run({"rm", "-r", "/opt/.ipconfig.txt"}), 0);
    EXPECT_EQ(send("w"), setReply("w"));
    EXPECT_EQ(ifups(), 4u);
    EXPECT_EQ(modeAndContent(board, "/opt/.ipconfig.txt"), "664\n" + ipRecord(conf, "10.0.0.9"));

    // A FIFO where the record belongs is neither read (which would block) nor replaced.
    ASSERT_EQ(board.run({"sh", "-c", "rm /opt/.cmd.txt && mkfifo /opt/.cmd.txt"}), 0);
    EXPECT_EQ(board.request(R"({"cmd":"get_net_conf","uuid":"q"})").find(R"("ipv4":{)"),
              std::string::npos);
    EXPECT_EQ(send("w"), setReply("w"));
    EXPECT_EQ(inBoard(board, "stat -c %F /opt/.cmd.txt"), "fifo\n");

    // Links planted by someone else than root are not written through.
    if (board.run({"sh", "-c",
                   "echo precious >/var/tmp/victim && mkdir /var/tmp/cron && "
                   "ln -sf /var/tmp/victim /opt/.hostinfo && mv /opt/.lxc_ipconfig /opt/old && "
                   "ln -s /var/tmp/cron /opt/.lxc_ipconfig && "
                   "chown -h 1000 /opt/.hostinfo /opt/.lxc_ipconfig"}) == 0) {
        Json::Value moved = requestOf(conf, "l");
        moved["location"]["idc"] = "dc9";
        EXPECT_EQ(board.request(line(moved)), setReply("l", -2));
        EXPECT_EQ(inBoard(board, "cat /var/tmp/victim; ls -A /var/tmp/cron"), "precious\n");
        inBoard(board, "rm /opt/.hostinfo /opt/.lxc_ipconfig && mv /opt/old /opt/.lxc_ipconfig");
    }

    // Past its time limit, ifup and all it started are killed and the request fails; while
    // an interface command runs, the probe is answered at once and other requests wait.
    conf.address = "10.0.0.10";
    board.putFile("var/tmp/fault.ifup", "sleep 60 & sleep 60\n");
    EXPECT_EQ(send("t"), setReply("t", -3));
    EXPECT_NE(board.run({"pgrep", "-f", "^sleep 60"}), 0) << "a sleep of the stalled ifup lives";
    EXPECT_NE(board.log().find("[QuillFerry] /usr/sbin/ifup eth0 --ignore-errors did not finish "
                               "within 3 s: killed\n"),
              std::string::npos);
    board.putFile("var/tmp/fault.ifup", "sleep 1\n");
    board.send(line(requestOf(conf, "p")) + "\n" + SimulatedBoard::kProbe + "\n" +
               R"({"cmd":"get_stat","uuid":"s"})" + "\n");
    std::string ack;
    std::string set;
    std::string stat;
    board.link().readExact(18, ack, 15000);
    board.link().readLine(set, 15000);
    board.link().readLine(stat, 15000);
    EXPECT_EQ(ack, SimulatedBoard::kAck);
    EXPECT_EQ(set, setReply("p"));
    EXPECT_NE(stat.find(R"("uuid":"s")"), std::string::npos);
}

}  // namespace
}  // namespace qftest
