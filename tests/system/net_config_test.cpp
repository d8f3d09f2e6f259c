// "set_net_conf" end to end on a board with the real ifupdown: what eth0 carries, the exact
// files left behind, and that skipped, refused and clearing requests change only what they
// should.
#include <json/json.h>

#include <string>
#include <utility>
#include <vector>

#include "board.h"
#include "ipconfig/generate_ip_config.h"

namespace qftest {
namespace {

constexpr int kApplyMs = 15000;  // ifdown and ifup, with DAD for IPv6
constexpr const char* kSkipped = "ip config not changed, ingore!\n";
constexpr const char* kRefused =
    "[QuillFerry] Do Set NetWork Configuration Failed And Response Data:";
constexpr const char* kHook = "eth0_config.sh  IFACE=eth0 MODE=start PHASE=post-up\n";
constexpr const char* kLoopback =
    "# The loopback network interface\nauto lo\niface lo inet loopback\nauto eth0\n";

struct Conf {
    bool v6;
    std::string address;
    std::string gateway;
    int prefix;
    std::vector<std::string> nameservers;  // as sent
    std::string dns2;                      // the second name server the board uses
    std::vector<std::pair<std::string, std::string>> containers;  // MAC, address
};

// clang-format off
Conf v4() {
    return {false, "10.0.0.8", "10.0.0.1", 24, {"1.1.1.1", "8.8.8.8"}, "8.8.8.8",
            {{"02:00:00:00:00:0a", "10.0.0.10"}, {"02:00:00:00:00:0b", "10.0.0.11"}}};
}
// One name server: the board fills in its IPv6 default as the second.
Conf v6() {
    return {true, "fd00::8", "fd00::1", 64, {"fd00::53"}, "fdbd:dc00::10:8:8:8",
            {{"02:00:00:00:00:0a", "fd00::10"}, {"02:00:00:00:00:0b", "fd00::11"}}};
}
// clang-format on

SimulatedBoard::Env searchDomain() {
    return {{"QUILLFERRY_DNS_SEARCH", "corp.example"}};
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
    for (const auto& [mac, ip] : c.containers) {
        Json::Value entry;
        entry["mac"] = mac;
        entry[family] = ip;
        r["lxclist"].append(entry);
    }
    return r;
}

std::string line(const Json::Value& request) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, request);
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

// The binary IP configuration record the board should hold for `address`.
std::string ipRecord(const Conf& c, const std::string& address) {
    const std::vector<unsigned char> bytes =
        GenerateIpConfig(nullptr, address, c.gateway, c.nameservers[0], c.dns2, "eth0", c.prefix,
                         c.v6 ? 1 : 0)
            .render();
    return std::string(bytes.begin(), bytes.end());
}

// Runs a shell script in the board, as its root: the container folder is created without
// search permission, so only root gets into it.
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
    return inBoard(
        board,
        "ip -o addr show dev eth0 scope global; ip route show dev eth0; ip -6 route show dev "
        "eth0; for f in "
        "/etc/network/interfaces /etc/resolv.conf /opt/.hostinfo /opt/.ipconfig.txt "
        "/opt/.lxc_ipconfig/*; do stat -c '%n %i %a %s' $f && cat $f; echo; done");
}

Json::Value recorded(const SimulatedBoard& board) {
    return parse(board.readFile("opt/.cmd.txt"))["set_net_conf"];
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
        const auto& [mac, ip] = c.containers[i];
        EXPECT_EQ(modeAndContent(board, "/opt/.lxc_ipconfig/mac_" + n), "664\n" + mac);
        EXPECT_EQ(modeAndContent(board, "/opt/.lxc_ipconfig/ip_" + n), "664\n" + ip);
        EXPECT_EQ(inBoard(board, "cat /opt/.lxc_ipconfig/ipconfig_" + n), ipRecord(c, ip));
    }
    std::string hooks;
    for (int i = 0; i < hookRuns; ++i) hooks += kHook;
    EXPECT_EQ(board.readFile("var/log/eth0_config.log"), hooks);
}

using NetConfig = BoardTest;

TEST_F(NetConfig, Ipv4AppliedSkippedRefusedRestartedAndCleared) {
    SimulatedBoard& board = boot({}, searchDomain());
    ASSERT_EQ(board.request(line(requestOf(v4(), "u1")), kApplyMs), setReply("u1"));
    expectApplied(board, v4(), 1);

    // The same addresses with another location and container list are not applied at all.
    const std::string applied = boardState(board);
    Json::Value same = requestOf(v4(), "u2");
    same["location"]["idc"] = "dc2";
    same["lxclist"].resize(1);
    LogMark m = board.mark();
    EXPECT_EQ(board.exchange(line(same), kApplyMs), setReply("u2"));
    EXPECT_NE(board.logSince(m).find(kSkipped), std::string::npos);
    EXPECT_EQ(boardState(board), applied);

    // Refused values reach no file and no command; a request without the members a
    // configuration needs is answered 0 and ignored. Either way it is recorded.
    const struct {
        const char* member;
        const char* inner;  // null: the member itself
        const char* value;  // null: the member is left out
        int retVal;
    } cases[] = {
        {"ipv4", "address", R"("10.0.0.9/24\n    up touch /tmp/pwned #")", -1},
        {"ipv4", "gateway", R"("fd00::1")", -1},
        {"ipv4", "netmask", "33", -1},
        {"ipv4", "netmask", "4294967320", -1},
        {"nameservers", nullptr, R"(["ns.example"])", -1},
        {"nameservers", nullptr, R"([["1.1.1.1"],"8.8.8.8"])", -1},
        {"location", nullptr, nullptr, 0},
    };
    Json::Value last;
    for (const auto& c : cases) {
        last = requestOf(v4(), "r");
        Json::Value& target = c.inner != nullptr ? last[c.member][c.inner] : last[c.member];
        if (c.value != nullptr) {
            target = parse(c.value);
        } else {
            last.removeMember(c.member);
        }
        m = board.mark();
        const std::string reply = board.exchange(line(last), kApplyMs);
        EXPECT_EQ(reply, setReply("r", c.retVal)) << line(last);
        EXPECT_EQ(board.logSince(m).find(kRefused + reply + "\n") != std::string::npos,
                  c.retVal == -1)
            << board.logSince(m);
        EXPECT_EQ(boardState(board), applied) << line(last);
        EXPECT_EQ(recorded(board), last);
    }
    EXPECT_NE(board.run({"test", "-e", "/tmp/pwned"}), 0);

    // The record outlives the daemon; the state in memory does not, so the same
    // configuration is applied again.
    board.restartDaemon(searchDomain());
    EXPECT_EQ(recorded(board), last);
    m = board.mark();
    EXPECT_EQ(board.exchange(line(requestOf(v4(), "u3")), kApplyMs), setReply("u3"));
    EXPECT_EQ(board.logSince(m).find(kSkipped), std::string::npos);
    expectApplied(board, v4(), 2);

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
}

TEST_F(NetConfig, Ipv6AppliedThenReplacedByIpv4) {
    SimulatedBoard& board = boot({}, searchDomain());
    ASSERT_EQ(board.request(line(requestOf(v6(), "u6")), kApplyMs), setReply("u6"));
    expectApplied(board, v6(), 1);

    // Going back to IPv4 takes eth0 down with the IPv6 definition, so nothing of it stays.
    ASSERT_EQ(board.request(line(requestOf(v4(), "u4")), kApplyMs), setReply("u4"));
    expectApplied(board, v4(), 2);
    EXPECT_EQ(inBoard(board, "ip -o -6 addr show dev eth0 scope global; ip -6 route show default"),
              "");
}

}  // namespace
}  // namespace qftest
