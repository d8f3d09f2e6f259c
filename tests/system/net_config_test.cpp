// "set_net_conf" and "get_net_conf" end to end on a board with the real ifupdown: what eth0
// carries, the exact files left behind, what skipped, placed, refused and clearing requests
// change, and what the query reports from the record file, the applied state and eth0.
#include <json/json.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "board.h"
#include "ctl/request.h"
#include "golden.h"

namespace qftest {
namespace {

constexpr int kApplyMs = 15000;  // ifdown and ifup, with DAD for IPv6
constexpr const char* kSearch = "corp.example";
constexpr const char* kQuery = R"({"cmd":"get_net_conf","uuid":"q"})";

// eth0's settings and two containers, all in one network. IPv6 sends one name server: the
// board fills in its default as the second.
struct Conf {
    explicit Conf(bool ipv6) : v6(ipv6), net(ipv6 ? "fd00::" : "10.0.0."), address(net + "8") {}
    bool v6;
    std::string net;
    std::string address;
    int prefix() const { return v6 ? 64 : 24; }
    std::string gateway() const { return net + "1"; }
    std::string dns1() const { return v6 ? "fd00::53" : "1.1.1.1"; }
    std::string dns2() const { return v6 ? "fdbd:dc00::10:8:8:8" : "8.8.8.8"; }
    std::string container(std::size_t i) const { return net + std::to_string(10 + i); }
};

std::string mac(std::size_t i) {
    return "02:00:00:00:00:0" + std::string(1, static_cast<char>('a' + i));
}

Json::Value requestOf(const Conf& c, const char* uuid) {
    Json::Value r = ctl::queryRequest("set_net_conf", uuid);
    const char* family = c.v6 ? "ipv6" : "ipv4";
    r[family]["address"] = c.address;
    r[family]["gateway"] = c.gateway();
    r[family]["netmask"] = c.prefix();
    r["location"]["idc"] = "dc1";
    r["location"]["soc_ip"] = "10.0.0.8";
    r["location"]["pod_id"] = 3;
    r["nameservers"].append(c.dns1());
    if (!c.v6) r["nameservers"].append(c.dns2());
    for (int i = 0; i < 2; ++i) {
        r["lxclist"][i]["mac"] = mac(i);
        r["lxclist"][i][family] = c.container(i);
    }
    return r;
}

Json::Value parse(const std::string& text) {
    Json::Value value;
    EXPECT_TRUE(Json::Reader().parse(text, value)) << text;
    return value;
}

std::string apply(SimulatedBoard& board, const Json::Value& request) {
    return board.request(ctl::compactJson(request), kApplyMs);
}

std::string setReply(const std::string& uuid, int retVal = 0) {
    return R"({"cmd":"set_net_conf","ret_val":)" + std::to_string(retVal) + R"(,"uuid":")" + uuid +
           "\"}\n";
}

std::string ipRecord(const Conf& c, const std::string& address) {
    return golden::ipConfig(address, static_cast<std::uint32_t>(c.prefix()), c.gateway(), c.dns1(),
                            c.dns2());
}

// Runs a shell script in the board, as its root: only root enters the container folder.
std::string inBoard(const SimulatedBoard& board, const std::string& script,
                    std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"sh", "-c", script, "sh"});
    std::string out;
    EXPECT_EQ(board.run(args, &out), 0) << script << ": " << out;
    return out;
}

// The named files (globs allowed): for each, stat's `format` on a line, its content, a newline.
std::string files(const SimulatedBoard& board, const std::string& names,
                  const std::string& format = "%n %a") {
    return inBoard(
        board, "for f in " + names + "; do stat -c '" + format + "' $f && cat $f && echo; done");
}

constexpr const char* kWritten =
    "/etc/network/interfaces /etc/resolv.conf /opt/.hostinfo /opt/.ipconfig.txt "
    "/opt/.lxc_ipconfig/*_1 /opt/.lxc_ipconfig/*_2";

// eth0's addresses and routes and the named files, inodes included: what must stay as it is.
std::string state(const SimulatedBoard& board, const std::string& names) {
    return inBoard(board,
                   "ip -o addr show dev eth0 scope global; ip route show dev eth0; "
                   "ip -6 route show dev eth0") +
           files(board, names, "%n %i %a");
}

void expectApplied(const SimulatedBoard& board, const Conf& c, int hookRuns) {
    const std::string net = inBoard(board, "ip -o addr show dev eth0; ip route; ip -6 route");
    const std::string cidr = c.address + "/" + std::to_string(c.prefix());
    EXPECT_NE(net.find((c.v6 ? "inet6 " : "inet ") + cidr), std::string::npos) << net;
    EXPECT_NE(net.find("default via " + c.gateway() + " dev eth0 "), std::string::npos) << net;
    std::string names;
    std::string want;
    const auto add = [&](const std::string& name, const char* mode, const std::string& content) {
        names += " " + name;
        want += name + " " + mode + "\n" + content + "\n";
    };
    add("/etc/network/interfaces", "644",
        golden::interfaces(c.v6, c.address, c.prefix(), c.gateway(), kSearch));
    add("/etc/resolv.conf", "644", golden::resolver(kSearch, c.dns1(), c.dns2()));
    add("/opt/.hostinfo", "664", "idc=dc1,soc_ip=10.0.0.8,pod_id=3");
    add("/opt/.ipconfig.txt", "664", ipRecord(c, c.address));
    for (std::size_t i = 0; i < 2; ++i) {
        const std::string n = "_" + std::to_string(i + 1);
        add("/opt/.lxc_ipconfig/mac" + n, "664", mac(i));
        add("/opt/.lxc_ipconfig/ip" + n, "664", c.container(i));
        add("/opt/.lxc_ipconfig/ipconfig" + n, "644", ipRecord(c, c.container(i)));
    }
    std::string hooks;  // the post-up script's stand-in logs each run
    for (int i = 0; i < hookRuns; ++i)
        hooks += "eth0_config.sh  IFACE=eth0 MODE=start PHASE=post-up\n";
    add("/var/log/eth0_config.log", "644", hooks);
    EXPECT_EQ(files(board, names), want);
}

constexpr const char* kV4Settings =
    R"("ipv4":{"address":"10.0.0.8","gateway":"10.0.0.1","netmask":24},)";

// The expected reply: `members` are the ones sorted before "mac", each with its comma. The
// MAC is eth0's, given to the board in upper case and read back in lower case.
std::string netConfReply(const std::string& members, const std::string& nameservers = "") {
    return R"({"cmd":"get_net_conf",)" + members +
           R"("mac":"02:51:46:ab:cd:ef","method":"static","nameservers":[)" + nameservers +
           R"(],"ret_val":0,"uuid":"q"})" + "\n";
}

std::string lxclist(const char* family, const Conf& c) {
    const std::string f = std::string("\"") + family + "\":\"";
    return R"("lxclist":[{)" + f + c.container(0) + R"(","mac":"02:00:00:00:00:0a"},{)" + f +
           c.container(1) + R"(","mac":"02:00:00:00:00:0b"}],)";
}

using NetConfig = BoardTest;

TEST_F(NetConfig, AppliedQueriedPlacedRefusedRestartedAndCleared) {
    const std::string hostInterfaces = readText("/etc/network/interfaces");
    BoardOptions options;
    options.mac = "02:51:46:AB:CD:EF";
    const SimulatedBoard::Env env = {{"QUILLFERRY_DNS_SEARCH", kSearch}};
    SimulatedBoard& board = boot(options, env);
    EXPECT_EQ(board.request(kQuery), netConfReply(""));

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
        EXPECT_EQ(board.request(kQuery), netConfReply(c.members)) << c.record;
    }

    const Conf ip4(false);
    ASSERT_EQ(apply(board, requestOf(ip4, "u1")), setReply("u1"));
    expectApplied(board, ip4, 1);
    const std::string applied =
        netConfReply(kV4Settings + lxclist("ipv4", ip4), R"("1.1.1.1","8.8.8.8")");
    EXPECT_EQ(board.request(kQuery), applied);
    const std::string inodes = inBoard(board, std::string("stat -c '%n %i' ") + kWritten);

    // The query reads eth0's address and prefix back, and the same request compares with
    // them: it is skipped only while eth0 really carries what it asks for. Applied again,
    // every file is replaced rather than rewritten in place.
    ASSERT_EQ(inBoard(board, "ip addr flush dev eth0 && ip addr add 10.0.0.8/16 dev eth0"), "");
    EXPECT_EQ(board.request(kQuery), applied);
    ASSERT_EQ(apply(board, requestOf(ip4, "u1")), setReply("u1"));
    expectApplied(board, ip4, 2);
    const std::string after = inBoard(board, std::string("stat -c '%n %i' ") + kWritten);
    for (std::size_t at = 0, nl; (nl = inodes.find('\n', at)) != std::string::npos; at = nl + 1)
        EXPECT_EQ(after.find(inodes.substr(at, nl - at + 1)), std::string::npos) << after;

    // The same addresses with another location and a shorter container list: the host
    // information and the first container's files are rewritten (the second's stay), eth0 is
    // not restarted. Sent again, nothing changes at all.
    const char* network =
        "/etc/network/interfaces /etc/resolv.conf /opt/.ipconfig.txt /opt/.lxc_ipconfig/*_2";
    const std::string untouched = state(board, network);
    Json::Value same = requestOf(ip4, "u2");
    same["location"]["idc"] = "dc2";
    same["lxclist"].resize(1);
    EXPECT_EQ(apply(board, same), setReply("u2"));
    EXPECT_EQ(files(board, "/opt/.hostinfo"),
              "/opt/.hostinfo 664\nidc=dc2,soc_ip=10.0.0.8,pod_id=3\n");
    EXPECT_EQ(state(board, network), untouched);
    const std::string placed = state(board, kWritten);
    const LogMark m = board.mark();
    EXPECT_EQ(apply(board, same), setReply("u2"));
    EXPECT_NE(board.logSince(m).find("ip config not changed, ingore!\n"), std::string::npos);
    EXPECT_EQ(state(board, kWritten), placed);

    // Refused requests reach no file and no command, but are recorded: a value that would
    // reach ifupdown, a request of the wrong shape and an incomplete one. (Every check has its
    // case in the unit tests.)
    const struct {
        const char* member;
        const char* inner;  // null: the member itself
        const char* value;
    } refused[] = {
        {"ipv4", "address", R"("10.0.0.9/24\n    up touch /tmp/pwned #")"},
        {"location", nullptr, "null"},
        {"location", "pod_id", "null"},
    };
    for (const auto& c : refused) {
        Json::Value r = requestOf(ip4, "r");
        (c.inner != nullptr ? r[c.member][c.inner] : r[c.member]) = parse(c.value);
        EXPECT_EQ(apply(board, r), setReply("r", -1)) << c.member << " " << c.value;
        EXPECT_EQ(state(board, kWritten), placed) << c.member << " " << c.value;
        EXPECT_EQ(parse(board.readFile("opt/.cmd.txt"))["set_net_conf"], r);
    }

    // After a restart only the record file is left: no name servers, no containers, and the
    // same configuration is applied again.
    board.restartDaemon(env);
    EXPECT_EQ(board.request(kQuery), netConfReply(kV4Settings));
    ASSERT_EQ(apply(board, requestOf(ip4, "u3")), setReply("u3"));
    expectApplied(board, ip4, 3);

    // Going to IPv6 takes eth0 down with the IPv4 definition, so nothing of it stays.
    const Conf ip6(true);
    ASSERT_EQ(apply(board, requestOf(ip6, "u6")), setReply("u6"));
    expectApplied(board, ip6, 4);
    EXPECT_EQ(inBoard(board, "ip -o -4 addr show dev eth0 scope global; ip -4 route show default"),
              "");
    EXPECT_EQ(board.request(kQuery),
              netConfReply(R"("ipv6":{"address":"fd00::8","gateway":"fd00::1","netmask":64},)" +
                               lxclist("ipv6", ip6),
                           R"("fd00::53","fdbd:dc00::10:8:8:8")"));

    // A clear takes eth0 down and its files away, but keeps the resolver and the containers'
    // files; their addresses then stand under "ipv4". After a restart the remembered clear is
    // reported once, and that moves the state.
    const char* kept = "cat /etc/resolv.conf; cd /opt/.lxc_ipconfig && ls && cat *";
    const std::string keptBefore = inBoard(board, kept);
    ASSERT_EQ(apply(board, ctl::clearRequest("c", true)), setReply("c"));
    EXPECT_EQ(board.readFile("etc/network/interfaces"),
              "# The loopback network interface\nauto lo\niface lo inet loopback\nauto eth0\n"
              "iface eth0 inet static\n");
    EXPECT_NE(inBoard(board, "ip -o link show dev eth0").find(" state DOWN "), std::string::npos);
    EXPECT_NE(board.run({"sh", "-c", "test -e /opt/.hostinfo || test -e /opt/.ipconfig.txt"}), 0);
    EXPECT_EQ(inBoard(board, kept), keptBefore);
    EXPECT_EQ(board.request(kQuery), netConfReply(lxclist("ipv4", ip6)));
    board.restartDaemon(env);
    const char* stat = R"({"cmd":"get_stat","uuid":"s"})";
    EXPECT_NE(board.request(stat).find(R"("netconf":0,)"), std::string::npos);
    EXPECT_EQ(board.request(kQuery),
              netConfReply(R"("ipv6":{"address":"clear","gateway":"clear","netmask":0},)"));
    EXPECT_NE(board.request(stat).find(R"("netconf":1,)"), std::string::npos);
    EXPECT_EQ(board.request(kQuery), netConfReply(""));
    EXPECT_EQ(readText("/etc/network/interfaces"), hostInterfaces);  // none of it on this machine
}

using HostileBoard = BoardTest;

TEST_F(HostileBoard, FailuresAreReportedRetriedAndNeverSilenceTheProbe) {
    BoardOptions options;
    options.stubs = {{"/usr/sbin/ifdown", kInterfaceStub}, {"/usr/sbin/ifup", kInterfaceStub}};
    SimulatedBoard& board =
        boot(options, {{"QUILLFERRY_IFUP_TIMEOUT", "3"}, {"QUILLFERRY_DNS_SEARCH", kSearch}});
    const auto calls = [&] {  // of ifdown and ifup so far
        const std::string log = board.readFile("var/log/ifcmd.log");
        return std::count(log.begin(), log.end(), '\n');
    };
    Conf conf(false);
    const auto send = [&](const char* uuid) {
        conf.address = conf.address == "10.0.0.8" ? "10.0.0.9" : "10.0.0.8";  // not in force
        return requestOf(conf, uuid);
    };

    // Both run directly, not through a shell, with the daemon's environment.
    ASSERT_EQ(apply(board, send("a")), setReply("a"));
    const std::string call = " eth0 --ignore-errors parent=/\\S*[^h] search=corp\\.example\n";
    EXPECT_TRUE(std::regex_match(board.readFile("var/log/ifcmd.log"),
                                 std::regex("ifdown" + call + "ifup" + call)));

    // A FIFO where the record belongs is neither read (which would block) nor replaced, and
    // a record that is not stored fails the request.
    inBoard(board, "rm /opt/.cmd.txt && mkfifo /opt/.cmd.txt");
    EXPECT_EQ(board.request(kQuery).find(R"("ipv4":{)"), std::string::npos);
    EXPECT_EQ(apply(board, send("w")), setReply("w", -2));
    EXPECT_EQ(inBoard(board, "stat -c %F /opt/.cmd.txt && rm /opt/.cmd.txt"), "fifo\n");

    // Links planted by someone else than root are not written through. (An unprivileged
    // board cannot give a link to another user.)
    if (board.run({"sh", "-c",
                   "echo precious >/var/tmp/victim && mkdir /var/tmp/cron && "
                   "ln -sf /var/tmp/victim /opt/.hostinfo && mv /opt/.lxc_ipconfig /opt/old && "
                   "ln -s /var/tmp/cron /opt/.lxc_ipconfig && "
                   "chown -h 1000 /opt/.hostinfo /opt/.lxc_ipconfig"}) == 0) {
        EXPECT_EQ(apply(board, send("l")), setReply("l", -2));
        EXPECT_EQ(inBoard(board, "cat /var/tmp/victim; ls -A /var/tmp/cron"), "precious\n");
        inBoard(board, "rm /opt/.hostinfo /opt/.lxc_ipconfig && mv /opt/old /opt/.lxc_ipconfig");
    }

    // A file that cannot be replaced or removed (a folder stands at its place), a failing
    // interface command or one that stalls (killed past its time limit, with all it started)
    // fails the request, and so its identical retry, once the fault is gone, is applied in
    // full. A clear runs ifdown alone.
    const struct {
        const char* place;   // a file, or the command that runs `script`
        const char* script;  // null: a folder at the file's place
        bool clear;
        int retVal;
    } faults[] = {
        {"/etc/network/interfaces", nullptr, false, -2},
        {"/etc/resolv.conf", nullptr, false, -2},
        {"/opt/.hostinfo", nullptr, false, -2},
        {"/opt/.ipconfig.txt", nullptr, false, -2},
        {"/opt/.lxc_ipconfig/mac_1", nullptr, false, -2},
        {"/opt/.lxc_ipconfig/ip_2", nullptr, false, -2},
        {"/opt/.lxc_ipconfig/ipconfig_1", nullptr, false, -2},
        {"/opt/.cmd.txt", nullptr, false, -2},
        {"/opt/..cmd.txt.quillferry-new", nullptr, false, -2},  // the record's temporary name
        {"ifup", "exit 3", false, 3 << 8},
        // What it started dies with it, also what left its process group and session.
        {"ifup", "sleep 60 & setsid -f sh -c 'sleep 60 & exec sleep 60'; sleep 60", false, -3},
        {"ifdown", "sleep 60", false, -3},
        {"/opt/.hostinfo", nullptr, true, -2},
        {"ifdown", "sleep 60", true, -3},
    };
    for (const auto& f : faults) {
        const bool command = f.script != nullptr;
        const Json::Value r = f.clear ? ctl::clearRequest("f", false) : send("f");
        inBoard(board,
                command ? R"(echo "$2" >/var/tmp/fault.$1)"
                        : "{ [ ! -e $1 ] || mv $1 $1.kept; } && mkdir -p $1/in",
                {f.place, command ? f.script : ""});
        EXPECT_EQ(apply(board, r), setReply("f", f.retVal)) << f.place;
        inBoard(
            board,
            command ? "rm /var/tmp/fault.$1" : "rm -r $1 && { [ ! -e $1.kept ] || mv $1.kept $1; }",
            {f.place});
        const auto before = calls();
        EXPECT_EQ(apply(board, r), setReply("f")) << f.place;
        EXPECT_EQ(calls(), before + (f.clear ? 1 : 2)) << f.place;
    }
    EXPECT_NE(board.run({"pgrep", "-f", "^sleep 60"}), 0) << "a sleep of a stalled command lives";
    EXPECT_NE(board.log().find("[QuillFerry] /usr/sbin/ifup eth0 --ignore-errors did not finish "
                               "within 3 s: killed\n"),
              std::string::npos);

    // While an interface command runs, the probe is answered at once and other requests wait.
    board.putFile("var/tmp/fault.ifup", "sleep 1\n");
    EXPECT_EQ(board.exchange(ctl::compactJson(send("p")) + "\n" + SimulatedBoard::kProbe, kApplyMs),
              std::string(SimulatedBoard::kAck) + setReply("p"));
    board.putFile("var/tmp/fault.ifup", nullptr);

    // A null entry holds an unused slot: its three files are written empty.
    Json::Value slots = send("n");
    slots["lxclist"][0] = Json::Value();
    ASSERT_EQ(apply(board, slots), setReply("n"));
    EXPECT_EQ(files(board, "/opt/.lxc_ipconfig/*_1", "%n %s"),
              "/opt/.lxc_ipconfig/ip_1 0\n\n/opt/.lxc_ipconfig/ipconfig_1 0\n\n"
              "/opt/.lxc_ipconfig/mac_1 0\n\n");

    // A value that holds line breaks is logged escaped, in one line: it forges none.
    Json::Value forged = send("i");
    forged["location"]["idc"] =
        "dc1\n[QuillFerry] Do Set NetWork Configuration Done And "
        "Response Data:{\"ret_val\":0}\u2028\u0085";
    const LogMark m = board.mark();
    EXPECT_EQ(apply(board, forged), setReply("i", -1));
    const std::string log = board.logSince(m);
    EXPECT_EQ(log.find("\n[QuillFerry] Do Set NetWork Configuration Done"), std::string::npos);
    EXPECT_NE(log.find("idc:dc1\\n[QuillFerry] Do Set NetWork Configuration Done And Response "
                       "Data:{\"ret_val\":0}\\u2028\\u0085, soc_ip:"),
              std::string::npos)
        << log;
}

}  // namespace
}  // namespace qftest
