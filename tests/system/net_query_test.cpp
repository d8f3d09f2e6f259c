// "get_net_conf" on a real board: what it reports from the record file, the applied state
// and eth0, and how its refresh of eth0's address feeds the next "set_net_conf".
#include <string>

#include "board.h"

namespace qftest {
namespace {

constexpr const char* kMac = "02:51:46:00:00:01";  // the board's default
constexpr const char* kQuery = R"({"cmd":"get_net_conf","uuid":"q"})";
constexpr const char* kHasIpv4 = "[QuillFerry] get_netconf has ipv4";
constexpr const char* kSkipped = "ip config not changed, ingore!\n";
constexpr int kApplyMs = 15000;  // ifdown and ifup, with DAD for IPv6

constexpr const char* kSetV4 =
    R"({"cmd":"set_net_conf","uuid":"u1","ipv4":{"address":"10.0.0.8","gateway":"10.0.0.1",)"
    R"("netmask":24},"location":{"idc":"dc1","soc_ip":"10.0.0.8","pod_id":3},)"
    R"("nameservers":["1.1.1.1","8.8.8.8"],"lxclist":[)"
    R"({"mac":"02:00:00:00:00:0a","ipv4":"10.0.0.10"},)"
    R"({"mac":"02:00:00:00:00:0b","ipv4":"10.0.0.11"}]})";
constexpr const char* kSetV6 =
    R"({"cmd":"set_net_conf","uuid":"u6","ipv6":{"address":"fd00::8","gateway":"fd00::1",)"
    R"("netmask":64},"location":{"idc":"dc1","soc_ip":"fd00::8","pod_id":3},)"
    R"("nameservers":["fd00::53"],"lxclist":[)"
    R"({"mac":"02:00:00:00:00:0a","ipv6":"fd00::10"},)"
    R"({"mac":"02:00:00:00:00:0b","ipv6":"fd00::11"}]})";
constexpr const char* kV4Settings =
    R"("ipv4":{"address":"10.0.0.8","gateway":"10.0.0.1","netmask":24},)";
// What a family without usable settings is reported with.
constexpr const char* kWorkingV4 = R"("ipv4":{"address":"","gateway":"","netmask":0},)";

// The expected reply: `members` are the ones sorted before "mac", each with its comma.
std::string netConfReply(const std::string& members, const std::string& nameservers,
                         const std::string& mac = kMac) {
    return R"({"cmd":"get_net_conf",)" + members + R"("mac":")" + mac +
           R"(","method":"static","nameservers":[)" + nameservers + R"(],"ret_val":0,"uuid":"q"})" +
           "\n";
}

std::string lxclist(const char* family, const char* ip1, const char* ip2) {
    const std::string f = std::string("\"") + family + "\":\"";
    return R"("lxclist":[{)" + f + ip1 + R"(","mac":"02:00:00:00:00:0a"},{)" + f + ip2 +
           R"(","mac":"02:00:00:00:00:0b"}],)";
}

std::string setReply(const char* uuid) {
    return std::string(R"({"cmd":"set_net_conf","ret_val":0,"uuid":")") + uuid + "\"}\n";
}

std::string eth0Addresses(const SimulatedBoard& board) {
    std::string out;
    EXPECT_EQ(board.run({"ip", "-o", "addr", "show", "dev", "eth0"}, &out), 0) << out;
    return out;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

using NetQuery = BoardTest;

TEST_F(NetQuery, UnconfiguredBoardAndRecordFilesWrittenFromOutside) {
    BoardOptions options;
    options.mac = "02:51:46:AB:CD:EF";  // read back from eth0 in lower case
    SimulatedBoard& board = boot(options);
    const std::string mac = "02:51:46:ab:cd:ef";
    LogMark m = board.mark();
    EXPECT_EQ(board.exchange(kQuery), netConfReply("", "", mac));
    EXPECT_EQ(board.logSince(m), std::string("readCmdRecords open file fail /opt/.cmd.txt\n") +
                                     SimulatedBoard::kProbeLog);

    const std::string v4 = R"({"address":"10.0.0.8","gateway":"10.0.0.1","netmask":280})";
    const struct {
        std::string record;
        std::string members;  // expected address objects
        std::string log;
    } cases[] = {
        {"[1,2]", "", ""},
        {R"("x")", "", ""},
        {"7", "", ""},
        {R"({"set_net_conf":"x"})", "", ""},
        {R"({"set_net_conf":[{"ipv4":{"address":"10.0.0.8"}}]})", "", ""},
        {R"({"set_net_conf":{"ipv4":"10.0.0.8"}})", kWorkingV4, kHasIpv4},
        {R"({"set_net_conf":{"ipv4":24}})", kWorkingV4, kHasIpv4},
        {R"({"set_net_conf":{"ipv4":null}})", kWorkingV4, kHasIpv4},
        // A family that is no object reports what the other one left.
        {R"({"set_net_conf":{"ipv4":)" + v4 + R"(,"ipv6":[1]}})",
         std::string(kV4Settings) +
             R"("ipv6":{"address":"10.0.0.8","gateway":"10.0.0.1","netmask":24},)",
         std::string(kHasIpv4) + "[QuillFerry] get_netconf has ipv6"},
    };
    for (const auto& c : cases) {
        board.writeFile("opt/.cmd.txt", c.record);
        m = board.mark();
        EXPECT_EQ(board.exchange(kQuery), netConfReply(c.members, "", mac)) << c.record;
        EXPECT_EQ(board.logSince(m), c.log + SimulatedBoard::kProbeLog) << c.record;
    }
    EXPECT_TRUE(board.daemonRunning());
}

TEST_F(NetQuery, Ipv4ConfigurationAndTheLiveAddressOfEth0) {
    SimulatedBoard& board = boot();
    ASSERT_EQ(board.request(kSetV4, kApplyMs), setReply("u1"));
    const std::string applied = netConfReply(
        kV4Settings + lxclist("ipv4", "10.0.0.10", "10.0.0.11"), R"("1.1.1.1","8.8.8.8")");
    EXPECT_EQ(board.request(kQuery), applied);

    // The query reads eth0's address and prefix back, and the same request compares with
    // them: it is skipped only while eth0 really carries what it asks for.
    const struct {
        const char* change;  // run in the board before the query
        bool skipped;
    } cases[] = {
        {"true", true},
        {"ip addr flush dev eth0", false},
        {"ip addr flush dev eth0 && ip addr add 10.0.0.9/24 dev eth0", false},
        {"ip addr flush dev eth0 && ip addr add 10.0.0.8/16 dev eth0", false},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(board.run({"sh", "-c", c.change}), 0) << c.change;
        EXPECT_EQ(board.request(kQuery), applied) << c.change;
        const LogMark m = board.mark();
        EXPECT_EQ(board.exchange(kSetV4, kApplyMs), setReply("u1")) << c.change;
        EXPECT_EQ(contains(board.logSince(m), kSkipped), c.skipped) << c.change;
        EXPECT_TRUE(contains(eth0Addresses(board), "inet 10.0.0.8/24")) << c.change;
    }

    // After a restart only the record file is left: no name servers, no containers.
    board.restartDaemon();
    EXPECT_EQ(board.request(kQuery), netConfReply(kV4Settings, ""));
}

TEST_F(NetQuery, Ipv6ConfigurationThenClearThenRestart) {
    SimulatedBoard& board = boot();
    ASSERT_EQ(board.request(kSetV6, kApplyMs), setReply("u6"));
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
    EXPECT_TRUE(contains(board.request(stat), R"("netconf":0,)"));
    EXPECT_EQ(board.request(kQuery),
              netConfReply(R"("ipv6":{"address":"clear","gateway":"clear","netmask":0},)", ""));
    EXPECT_TRUE(contains(board.request(stat), R"("netconf":1,)"));
    EXPECT_EQ(board.request(kQuery), netConfReply("", ""));
}

}  // namespace
}  // namespace qftest
