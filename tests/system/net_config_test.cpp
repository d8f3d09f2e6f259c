// "set_net_conf" and "get_net_conf" end to end on a board with the real ifupdown: what eth0
// carries, the exact files left behind, what skipped, placed, refused and clearing requests
// change, and what the query reports from the record file, the applied state and eth0.
#include <json/json.h>

#include <string>
#include <vector>

#include "board.h"
#include "ctl/request.h"
#include "golden.h"

namespace qftest {
namespace {

constexpr int kApplyMs = 15000;  // ifdown and ifup, with DAD for IPv6
constexpr const char* kSearch = "corp.example";

struct Conf {
    bool v6;
    std::string address;
    std::string gateway;
    int prefix;
    std::vector<std::string> nameservers;  // as sent
    std::string dns2;                      // the second name server the board uses
    std::vector<std::string> containers;   // addresses; MACs 02:00:00:00:00:0a, 0b, ...
};

Conf v4() {
    return {false,
            "10.0.0.8",
            "10.0.0.1",
            24,
            {"1.1.1.1", "8.8.8.8"},
            "8.8.8.8",
            {"10.0.0.10", "10.0.0.11"}};
}
// One name server: the board fills in its IPv6 default as the second.
Conf v6() {
    return {true,
            "fd00::8",
            "fd00::1",
            64,
            {"fd00::53"},
            "fdbd:dc00::10:8:8:8",
            {"fd00::10", "fd00::11"}};
}

std::string mac(std::size_t i) {
    return "02:00:00:00:00:0" + std::string(1, static_cast<char>('a' + i));
}

Json::Value requestOf(const Conf& c, const char* uuid) {
    Json::Value r = ctl::queryRequest("set_net_conf", uuid);
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
    return golden::ipConfig(address, static_cast<std::uint32_t>(c.prefix), c.gateway,
                            c.nameservers[0], c.dns2);
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

constexpr const char* kWritten =
    "/etc/network/interfaces /etc/resolv.conf /opt/.hostinfo /opt/.ipconfig.txt "
    "/opt/.lxc_ipconfig/*_1 /opt/.lxc_ipconfig/*_2";

// Everything a skipped or refused request must leave alone, inodes included.
std::string boardState(const SimulatedBoard& board) {
    return inBoard(board, std::string("ip -o addr show dev eth0 scope global; ip route show dev "
                                      "eth0; ip -6 route show dev eth0; for f in ") +
                              kWritten + "; do stat -c '%n %i %a %s' $f && cat $f; echo; done");
}

void expectApplied(const SimulatedBoard& board, const Conf& c, int hookRuns) {
    const std::string cidr = c.address + "/" + std::to_string(c.prefix);
    EXPECT_NE(inBoard(board, "ip -o addr show dev eth0").find((c.v6 ? "inet6 " : "inet ") + cidr),
              std::string::npos);
    EXPECT_NE(inBoard(board, c.v6 ? "ip -6 route" : "ip route")
                  .find("default via " + c.gateway + " dev eth0 "),
              std::string::npos);
    EXPECT_EQ(board.readFile("etc/network/interfaces"),
              golden::interfaces(c.v6, c.address, c.prefix, c.gateway, kSearch));
    EXPECT_EQ(board.readFile("etc/resolv.conf"),
              golden::resolver(kSearch, c.nameservers[0], c.dns2));
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

TEST_F(NetConfig, AppliedPlacedRefusedRestartedAndCleared) {
    const std::string hostInterfaces = readText("/etc/network/interfaces");
    const SimulatedBoard::Env env = {{"QUILLFERRY_DNS_SEARCH", kSearch}};
    SimulatedBoard& board = boot({}, env);
    ASSERT_EQ(board.request(line(requestOf(v4(), "u1")), kApplyMs), setReply("u1"));
    expectApplied(board, v4(), 1);
    const std::string inodes = inBoard(board, std::string("stat -c '%n %i' ") + kWritten);

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
    const std::string placed = boardState(board);
    LogMark m = board.mark();
    EXPECT_EQ(board.exchange(line(same), kApplyMs), setReply("u2"));
    EXPECT_NE(board.logSince(m).find("ip config not changed, ingore!\n"), std::string::npos);
    EXPECT_EQ(boardState(board), placed);

    // Refused requests reach no file and no command, but are recorded. (Every check has its
    // case in the unit tests; here the ones whose bytes would reach ifupdown.)
    const struct {
        const char* member;
        const char* inner;  // null: the member itself
        const char* value;
    } refused[] = {
        {"ipv4", "address", R"("10.0.0.9/24\n    up touch /tmp/pwned #")"},
        {"ipv4", "address", R"("10.0.0.9\u0000\n    up touch /tmp/pwned")"},
        {"nameservers", nullptr, R"(["1.1.1.1\u0000\nnameserver 6.6.6.6"])"},
        {"location", nullptr, "null"},
        {"location", "pod_id", "null"},
    };
    Json::Value last;
    for (const auto& c : refused) {
        last = requestOf(v4(), "r");
        (c.inner != nullptr ? last[c.member][c.inner] : last[c.member]) = parse(c.value);
        EXPECT_EQ(board.exchange(line(last), kApplyMs), setReply("r", -1)) << line(last);
        EXPECT_EQ(boardState(board), placed) << line(last);
        EXPECT_EQ(parse(board.readFile("opt/.cmd.txt"))["set_net_conf"], last);
    }
    EXPECT_NE(board.run({"test", "-e", "/tmp/pwned"}), 0);

    // The record outlives the daemon; the state in memory does not, so the same
    // configuration is applied again, every file replaced rather than rewritten in place.
    board.restartDaemon(env);
    EXPECT_EQ(parse(board.readFile("opt/.cmd.txt"))["set_net_conf"], last);
    ASSERT_EQ(board.request(line(requestOf(v4(), "u3")), kApplyMs), setReply("u3"));
    expectApplied(board, v4(), 2);
    const std::string after = inBoard(board, std::string("stat -c '%n %i' ") + kWritten);
    for (std::size_t at = 0, nl; (nl = inodes.find('\n', at)) != std::string::npos; at = nl + 1)
        EXPECT_EQ(after.find(inodes.substr(at, nl - at + 1)), std::string::npos) << after;

    // Going to IPv6 takes eth0 down with the IPv4 definition, so nothing of it stays.
    ASSERT_EQ(board.request(line(requestOf(v6(), "u6")), kApplyMs), setReply("u6"));
    expectApplied(board, v6(), 3);
    EXPECT_EQ(inBoard(board, "ip -o -4 addr show dev eth0 scope global; ip -4 route show default"),
              "");

    const std::string resolver = board.readFile("etc/resolv.conf");
    const std::string containers = inBoard(board, "cd /opt/.lxc_ipconfig && ls && cat *");
    EXPECT_EQ(board.request(ctl::requestLine(ctl::clearRequest("c", false)), kApplyMs),
              setReply("c"));
    EXPECT_EQ(board.readFile("etc/network/interfaces"),
              "# The loopback network interface\nauto lo\niface lo inet loopback\nauto eth0\n"
              "iface eth0 inet static\n");
    EXPECT_NE(inBoard(board, "ip -o link show dev eth0").find(" state DOWN "), std::string::npos);
    EXPECT_EQ(board.readFile("etc/resolv.conf"), resolver);
    EXPECT_EQ(modeAndContent(board, "/opt/.hostinfo") + modeAndContent(board, "/opt/.ipconfig.txt"),
              "missingmissing");
    EXPECT_EQ(inBoard(board, "cd /opt/.lxc_ipconfig && ls && cat *"), containers);
    EXPECT_EQ(readText("/etc/network/interfaces"), hostInterfaces);  // none of it on this machine
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
    for (const char* change :
         {"true", "ip addr flush dev eth0 && ip addr add 10.0.0.8/16 dev eth0"}) {
        ASSERT_EQ(board.run({"sh", "-c", change}), 0) << change;
        EXPECT_EQ(board.request(kQuery), applied) << change;
        const LogMark m = board.mark();
        EXPECT_EQ(board.exchange(line(requestOf(v4(), "u1")), kApplyMs), setReply("u1"));
        EXPECT_EQ(board.logSince(m).find("ip config not changed") != std::string::npos,
                  std::string(change) == "true")
            << change;
    }

    // After a restart only the record file is left: no name servers, no containers.
    board.restartDaemon();
    EXPECT_EQ(board.request(kQuery), netConfReply(kV4Settings, ""));

    ASSERT_EQ(board.request(line(requestOf(v6(), "u6")), kApplyMs), setReply("u6"));
    EXPECT_EQ(board.request(kQuery),
              netConfReply(R"("ipv6":{"address":"fd00::8","gateway":"fd00::1","netmask":64},)" +
                               lxclist("ipv6", "fd00::10", "fd00::11"),
                           R"("fd00::53","fdbd:dc00::10:8:8:8")"));

    // A clear keeps the container list; cleared, its addresses stand under "ipv4". After a
    // restart the remembered clear is reported once, and that moves the state.
    ASSERT_EQ(board.request(ctl::requestLine(ctl::clearRequest("c", true)), kApplyMs),
              setReply("c"));
    EXPECT_EQ(board.request(kQuery), netConfReply(lxclist("ipv4", "fd00::10", "fd00::11"), ""));
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
    SimulatedBoard& board =
        boot(options, {{"QUILLFERRY_IFUP_TIMEOUT", "3"}, {"QUILLFERRY_DNS_SEARCH", kSearch}});
    const auto ifups = [&] { return count(board.readFile("var/log/ifcmd.log"), "ifup eth0"); };
    Conf conf = v4();
    const auto send = [&](const char* uuid) {
        return board.request(line(requestOf(conf, uuid)), kApplyMs);
    };

    // Run directly, not through a shell, with the daemon's environment; a failing ifup is
    // reported, and the identical retry runs it again instead of skipping it as unchanged.
    board.putFile("var/tmp/fault.ifup", "exit 3\n");
    EXPECT_EQ(send("f"), setReply("f", 3 << 8));
    const std::string calls = board.readFile("var/log/ifcmd.log");
    EXPECT_EQ(count(calls, "ifdown eth0 --ignore-errors parent=/"), 1U) << calls;
    EXPECT_EQ(count(calls, "ifup eth0 --ignore-errors parent=/"), 1U) << calls;
    EXPECT_EQ(count(calls, "sh search=corp.example\n"), 0U) << calls;
    EXPECT_EQ(count(calls, " search=corp.example\n"), 2U) << calls;
    board.putFile("var/tmp/fault.ifup", nullptr);
    EXPECT_EQ(send("f"), setReply("f"));
    EXPECT_EQ(ifups(), 2U);

    // Every file that cannot be replaced (a folder stands at its place) fails the request,
    // and so its identical retry, once the fault is gone, is applied in full.
    std::size_t expectedIfups = 2;
    for (const char* file :
         {"etc/network/interfaces", "etc/resolv.conf", "opt/.hostinfo", "opt/.ipconfig.txt",
          "opt/.lxc_ipconfig/mac_1", "opt/.lxc_ipconfig/ip_2", "opt/.lxc_ipconfig/ipconfig_1"}) {
        conf.address = conf.address == "10.0.0.8" ? "10.0.0.9" : "10.0.0.8";
        inBoard(board, std::string("f=/") + file + "; mv $f $f.kept && mkdir -p $f/in");
        EXPECT_EQ(send("w"), setReply("w", -2)) << file;
        inBoard(board, std::string("f=/") + file + "; rm -r $f && mv $f.kept $f");
        EXPECT_EQ(send("w"), setReply("w")) << file;
        EXPECT_EQ(ifups(), expectedIfups += 2) << file;
    }
    EXPECT_EQ(modeAndContent(board, "/opt/.ipconfig.txt"), "664\n" + ipRecord(conf, conf.address));

    // A FIFO where the record belongs is neither read (which would block) nor replaced.
    inBoard(board, "rm /opt/.cmd.txt && mkfifo /opt/.cmd.txt");
    EXPECT_EQ(board.request(kQuery).find(R"("ipv4":{)"), std::string::npos);
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
        moved["lxclist"][0]["mac"] = "02:00:00:00:00:0f";
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
    // A stalled ifdown fails an apply and a clear (which runs it alone), and a file that a
    // clear cannot remove fails it too.
    board.putFile("var/tmp/fault.ifup", nullptr);
    board.putFile("var/tmp/fault.ifdown", "sleep 60\n");
    EXPECT_EQ(send("t"), setReply("t", -3));
    const std::string clear = ctl::requestLine(ctl::clearRequest("c", false));
    EXPECT_EQ(board.request(clear, kApplyMs), setReply("c", -3));
    board.putFile("var/tmp/fault.ifdown", nullptr);
    board.putFile("opt/.hostinfo/in", "");
    EXPECT_EQ(board.request(clear, kApplyMs), setReply("c", -2));
    inBoard(board, "rm -r /opt/.hostinfo");
    board.putFile("var/tmp/fault.ifup", "sleep 1\n");
    board.send(line(requestOf(conf, "p")) + "\n" + SimulatedBoard::kProbe + "\n" +
               R"({"cmd":"get_stat","uuid":"s"})" + "\n");
    std::string ack;
    std::string set;
    std::string stat;
    board.link().readExact(18, ack, kApplyMs);
    board.link().readLine(set, kApplyMs);
    board.link().readLine(stat, kApplyMs);
    EXPECT_EQ(ack, SimulatedBoard::kAck);
    EXPECT_EQ(set, setReply("p"));
    EXPECT_NE(stat.find(R"("uuid":"s")"), std::string::npos);
}

}  // namespace
}  // namespace qftest
