// SPDX-License-Identifier: Apache-2.0
#include <json/json.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "board_conf.h"
#include "captured_log.h"
#include "expect_text.h"
#include "protocol/json_text.h"
#include "protocol/net_conf_request.h"
#include "scratch_board.h"

namespace {

using qftest::BoardConf;
using SetNetConf = ScratchBoard;

// What a fresh daemon does with a request, as the number of ifdown and ifup runs it takes.
enum Verdict { Refused = 0, Cleared = 1, Applied = 2 };

// Each change sets one member of a complete request ("a.b=JSON": member b of member a; with
// no "=" the member is removed), and a fresh daemon decides. Every check has a change that gets
// through without it, and the values that reach a file or a command are judged on their whole
// length: a zero byte hides nothing. A refused request changes nothing but the record.
TEST_F(SetNetConf, OnlyCompleteRequestsOfFitValuesAreApplied) {
    const Json::Value good =
        json(R"({"cmd":"set_net_conf","uuid":"g","ipv4":{"address":"10.0.0.8","gateway":)"
             R"("10.0.0.1","netmask":24},"nameservers":["1.1.1.1","fd00::53"],"location":)"
             R"({"idc":"dc-1","soc_ip":"fd00::8","pod_id":3},)"
             R"("lxclist":[{"mac":"02:00:00:0A:0b:0c","ipv4":"10.0.0.9"},null]})");
    const std::pair<Verdict, std::vector<std::string>> cases[] = {
        {Applied,
         {"ipv4.netmask=32", "ipv4.netmask=1", "lxclist=[]", R"(nameservers=["1.1.1.1"])",
          R"(ipv6={"address":"fd00::1"})"}},  // ipv4 wins
        {Refused, {"location", "location=[]", R"(nameservers="1.1.1.1")", R"(ipv4="10.0.0.8")"}},
        {Cleared, {R"(ipv4.gateway="clear")", R"(ipv4.address="clear")"}},
        {Refused,
         {"location.idc", R"(location.soc_ip="")", R"(location.pod_id="3")", "ipv4.address=8",
          "ipv4.gateway", "ipv4.netmask=0", "ipv4.netmask", "nameservers=[]",
          R"(nameservers=[null,"1.1.1.1"])"}},
        {Refused,
         {R"(ipv4.address="10.0.0.8\n    up reboot")", R"(ipv4.address="10.0.0.8\u0000\n  up")",
          R"(ipv4.address="fd00::8")", R"(ipv4.gateway="10.0.0.1 ")", R"(ipv4.gateway="fd00::1")",
          "ipv4.netmask=33", "ipv4.netmask=-1", "ipv4.netmask=4294967320"}},
        // Addresses no interface can have; the gateway is judged by the same rule.
        {Refused,
         {R"(ipv4.address="0.0.0.0")", R"(ipv4.address="0.1.2.3")", R"(ipv4.address="127.0.0.8")",
          R"(ipv4.address="224.0.0.1")", R"(ipv4.address="239.1.1.1")",
          R"(ipv4.address="255.255.255.255")", R"(ipv4.gateway="127.0.0.1")"}},
        {Applied,
         {R"(ipv4.address="1.0.0.1")", R"(ipv4.address="223.255.255.254")",
          R"(ipv4.address="240.0.0.8")", R"(ipv4.gateway="169.254.0.1")"}},
        {Refused,
         {R"(nameservers=["dns.example"])", R"(nameservers=["1.1.1.1","dns.example"])",
          R"(nameservers=["1.1.1.1\u0000\nnameserver 6.6.6.6"])",
          R"(nameservers=["1.1.1.1",["x"]])", R"(nameservers=["1.1.1.1",{}])"}},
        {Refused,
         {"location.pod_id=9999999999", R"(location.idc="dc,1")", R"(location.idc="dc=1")",
          R"(location.idc="dc\u0000")", R"(location.idc="dc\u001f")", R"(location.idc="dc\u007f")",
          R"(location.soc_ip="board-7")", R"(location.soc_ip="10.0.0.8\u0000,x=y")",
          // C1 controls, the separators and bytes that are not UTF-8 break lines as well (each
          // kind of malformed UTF-8 is pinned by the log's escaping, which decodes alike).
          R"(location.idc="dc\u009f")", R"(location.idc="dc\u2028")", "location.idc=\"dc\xff\"",
          "location.idc=\"\xc0\x8a\""}},
        {Applied,
         {R"(location.idc="dc\u00a0\u00e9\u2027\u202a")", "location.idc=\"\xf0\x9f\x90\xa7\""}},
        // A container needs a MAC of six hex pairs and an address of the request's family fit
        // for an interface; null holds a slot.
        {Refused,
         {R"(lxclist=["02:00:00:00:00:02"])",
          R"(lxclist=[{"mac":"02:00:00:00:00:0g","ipv4":"10.0.0.9"}])",
          R"(lxclist=[{"mac":"02:00:00:00:00:02:03","ipv4":"10.0.0.9"}])",
          R"(lxclist=[{"mac":"02-00-00-00-00-02","ipv4":"10.0.0.9"}])",
          R"(lxclist=[{"mac":7,"ipv4":"10.0.0.9"}])", R"(lxclist=[{"ipv4":"10.0.0.9"}])",
          R"(lxclist=[{"mac":"02:00:00:00:00:02"}])",
          R"(lxclist=[{"mac":"02:00:00:00:00:02","ipv6":"fd00::9"}])",
          R"(lxclist=[{"mac":"02:00:00:00:00:02","ipv4":"127.0.0.9"}])"}},
        {Applied, {R"(lxclist=[null,null])"}},
        // A gateway to check within a whole number of seconds from 1 to 120, never on a clear.
        {Refused,
         {"verify_gateway=0", "verify_gateway=121", "verify_gateway=-1", R"(verify_gateway="5")",
          "verify_gateway=5.5", "verify_gateway=true", "verify_gateway=null",
          "verify_gateway=4294967297", R"(ipv4.gateway="clear" & verify_gateway=5)"}},
    };
    for (const auto& [expected, changes] : cases) {
        for (const std::string& change : changes) {
            Json::Value request = good;
            // Several changes at once are joined by " & ".
            for (std::size_t at = 0, end = 0; end < change.size(); at = end + 3) {
                end = std::min(change.find(" & ", at), change.size());
                const std::string one = change.substr(at, end - at);
                const std::size_t eq = one.find('='), dot = std::min(one.find('.'), eq);
                Json::Value& parent = dot < eq ? request[one.substr(0, dot)] : request;
                const std::string name =
                    dot < eq ? one.substr(dot + 1, eq - dot - 1) : one.substr(0, eq);
                if (eq == std::string::npos) {
                    parent.removeMember(name);
                } else {
                    parent[name] = json(one.substr(eq + 1));
                }
            }
            restart();
            const auto before = files();
            const long calledBefore = calls();
            const Json::Value reply = setReply(request);
            // Recorded as the record's JSON text carries it (bytes that are not UTF-8 as U+FFFD).
            EXPECT_EQ(json(contents("opt/.cmd.txt"))["set_net_conf"],
                      json(request.toStyledString()))
                << change;
            EXPECT_EQ(reply["ret_val"].asInt(), expected == Refused ? -1 : 0) << change;
            EXPECT_EQ(calls() - calledBefore, expected) << change;
            if (expected == Refused) {
                EXPECT_FALSE(reply.isMember("gateway_check")) << change;
                EXPECT_EQ(files(), before) << change;
            }
        }
    }
}

// What one board goes through: an apply, its repetition, a new placement, a restart, an unused
// slot, a clear, and each one's files and commands.
TEST_F(SetNetConf, EachDecisionLeavesItsFilesAndRunsItsCommands) {
    const BoardConf conf;
    // The container folder is made without search bits when missing (as the board's other
    // software has it).
    std::filesystem::remove(path("opt/.lxc_ipconfig"));
    Json::Value noContainers = conf.request("m");
    noContainers["lxclist"] = Json::Value(Json::arrayValue);
    ASSERT_EQ(set(noContainers), 0);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(modeOf("opt/.lxc_ipconfig"), 0664U & ~mask);
    ASSERT_EQ(::chmod(path("opt/.lxc_ipconfig").c_str(), 0775), 0);
    std::filesystem::remove(path("ifcmd.log"));
    restart();
    ASSERT_EQ(set(conf.request("a")), 0);
    expectFiles(conf.files());
    for (const char* name : {"opt/.hostinfo", "opt/.ipconfig.txt", "opt/.lxc_ipconfig/mac_1",
                             "opt/.lxc_ipconfig/ip_2"})
        EXPECT_EQ(modeOf(name), 0664U) << name;
    // Run directly, not through a shell, each once.
    const std::string call = " eth0 --ignore-errors parent=/\\S*[^h]\n";
    EXPECT_TRUE(
        std::regex_match(contents("ifcmd.log"), std::regex("ifdown" + call + "ifup" + call)))
        << contents("ifcmd.log");

    // The same again changes nothing; with another placement only the host information and
    // the containers listed are rewritten (those of dropped positions stay), no restart.
    captureLog();
    EXPECT_EQ(set(conf.request("b")), 0);
    EXPECT_HAS(capturedLog(), "ip config not changed, ingore!\n");
    BoardConf placed = conf;
    placed.idc = "dc2";
    placed.containers = 1;
    EXPECT_EQ(set(placed.request("c")), 0);
    EXPECT_EQ(calls(), 2);
    expectFiles(placed.files());
    EXPECT_EQ(contents("opt/.lxc_ipconfig/ip_2"), conf.containerIp(2));
    // Any address changed, the second name server alone here, is applied anew.
    Json::Value dns = placed.request("c2");
    dns["nameservers"][1] = "10.0.0.55";
    EXPECT_EQ(set(dns), 0);
    EXPECT_EQ(calls(), 4);
    // After a restart only the record is left: the same request is applied again.
    restart();
    EXPECT_EQ(set(placed.request("d")), 0);
    EXPECT_EQ(calls(), 6);

    // A null entry holds an unused slot: its three files are written empty.
    Json::Value slot = conf.request("e");
    slot["lxclist"][0] = Json::Value();
    EXPECT_EQ(set(slot), 0);
    for (const char* kind : {"mac_1", "ip_1", "ipconfig_1"})
        EXPECT_EQ(contents(std::string("opt/.lxc_ipconfig/") + kind), "") << kind;

    // A clear takes eth0 down and the host files away; the resolver and the containers' files
    // stay.
    const std::string resolver = contents("etc/resolv.conf");
    EXPECT_EQ(set(qfclient::clearRequest("g", false)), 0);
    EXPECT_EQ(calls(), 7);
    EXPECT_EQ(contents("etc/network/interfaces"),
              "# The loopback network interface\nauto lo\niface lo inet loopback\nauto eth0\n"
              "iface eth0 inet static\n");
    EXPECT_FALSE(std::filesystem::exists(path("opt/.hostinfo")));
    EXPECT_FALSE(std::filesystem::exists(path("opt/.ipconfig.txt")));
    EXPECT_EQ(contents("etc/resolv.conf"), resolver);
    EXPECT_EQ(contents("opt/.lxc_ipconfig/mac_2"), conf.mac(2));
}

// A file that cannot be replaced or removed (a folder at its place or at its temporary name,
// a FIFO as the record), a failing, stalled or killed interface command fails the request, and
// so its identical retry, once the fault is gone, is applied in full. A clear runs ifdown
// alone. Where what is in force cannot be recorded nothing is changed, or a power cut could
// leave the state file claiming a configuration that the files no longer hold.
TEST_F(SetNetConf, FailuresFailTheRequestAndItsRetryAppliesInFull) {
    BoardConf conf;
    ASSERT_EQ(set(conf.request("a")), 0);
    const char* inForce = "var/lib/quillferry/in-force.json";
    const struct {
        const char* place;   // a file, or the command that runs `script`
        const char* script;  // null: a folder at the file's place ("fifo": a FIFO as the record)
        bool clear;
        int retVal;
    } faults[] = {
        {"etc/network/interfaces", nullptr, false, -2},
        {"etc/resolv.conf", nullptr, false, -2},
        {"opt/.hostinfo", nullptr, false, -2},
        {"opt/.ipconfig.txt", nullptr, false, -2},
        {"opt/.lxc_ipconfig/mac_1", nullptr, false, -2},
        {"opt/.lxc_ipconfig/ip_2", nullptr, false, -2},
        {"opt/.lxc_ipconfig/ipconfig_1", nullptr, false, -2},
        {"opt/.cmd.txt", nullptr, false, -2},
        {"opt/..cmd.txt.quillferry-new", nullptr, false, -2},
        {"opt/.cmd.txt", "fifo", false, -2},
        {inForce, nullptr, false, -2},
        {inForce, nullptr, true, -2},
        {"ifup", "exit 3", false, 3 << 8},
        {"ifup", "sleep 60 & sleep 60", false, -3},
        {"ifdown", "sleep 60", false, -3},
        // Killed by a signal, a command stopped half-way: never a success, ifdown's either.
        {"ifup", "kill -TERM $$", false, SIGTERM},
        {"ifdown", "kill -TERM $$", false, SIGTERM},
        {"opt/.hostinfo", nullptr, true, -2},
        {"ifdown", "sleep 60", true, -3},
        {"ifdown", "kill -KILL $$", true, SIGKILL},
    };
    for (const auto& f : faults) {
        conf.net = conf.net == 0 ? 1 : 0;  // never the configuration in force
        const Json::Value r = f.clear ? qfclient::clearRequest("f", false) : conf.request("f");
        const std::string place = path(f.place);
        const std::string kept = place + ".kept";
        const bool command = f.script != nullptr && std::string(f.script) != "fifo";
        if (command) {
            put(std::string("fault.") + f.place, f.script);
        } else {
            if (std::filesystem::exists(place)) std::filesystem::rename(place, kept);
            if (f.script != nullptr) {
                ASSERT_EQ(::mkfifo(place.c_str(), 0600), 0);
            } else {
                folder(std::string(f.place) + "/in");
            }
        }
        const auto before = f.place == inForce ? files() : std::map<std::string, std::string>();
        long called = calls();
        EXPECT_EQ(set(r), f.retVal) << f.place;
        if (f.place == inForce) {
            EXPECT_EQ(calls(), called) << f.place;
            EXPECT_EQ(files(), before) << f.place;
        }
        std::filesystem::remove_all(command ? path(std::string("fault.") + f.place) : place);
        if (std::filesystem::exists(kept)) std::filesystem::rename(kept, place);
        called = calls();
        EXPECT_EQ(set(r), 0) << f.place;
        EXPECT_EQ(calls(), called + (f.clear ? 1 : 2)) << f.place;
    }
}

// IPv6 takes each container's IPv6 address, the site's second name server when none is
// given, and prefix lengths up to 128; an "lxclist" that is no array leaves the containers
// as they are.
TEST(NetConfRequest, Ipv6ValuesAndDefaults) {
    const NetConfRequest v6 = readNetConfRequest(
        json(R"({"ipv6":{"address":"fd00::9","gateway":"fd00::1","netmask":128},)"
             R"("nameservers":["fd00::53"],"location":{"idc":"d","soc_ip":"fd00::9","pod_id":-4},)"
             R"("lxclist":[{"mac":"02:00:00:00:00:0a","ipv4":"x","ipv6":"fd00::a"},null]})"));
    EXPECT_TRUE(v6.isComplete());
    EXPECT_EQ(netConfProblem(v6), "");
    EXPECT_EQ(v6.dns2, "fdbd:dc00::10:8:8:8");
    EXPECT_EQ(v6.podId, "-4");
    EXPECT_EQ(v6.containers, (std::vector<Container>{{"02:00:00:00:00:0a", "fd00::a"}, {"", ""}}));
    // The unspecified, loopback, multicast and IPv4-mapped addresses are no interface's.
    const std::pair<const char*, bool> addresses[] = {
        {"::", false},     {"::1", false}, {"ff02::1", false},     {"::ffff:10.0.0.9", false},
        {"fe80::1", true}, {"::2", true},  {"2001:db8::ff", true},
    };
    for (const auto& [address, fit] : addresses) {
        NetConfRequest changed = v6;
        changed.address = address;
        EXPECT_EQ(netConfProblem(changed).empty(), fit) << address;
    }
    const NetConfRequest v4 = readNetConfRequest(
        json(R"({"ipv4":{},"location":{},"nameservers":["1.1.1.1"],"lxclist":{}})"));
    EXPECT_EQ(v4.dns2, "");
    EXPECT_FALSE(v4.containersGiven);
}

}  // namespace
