#include "netconf/net_conf_request.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "core/json_text.h"

namespace {

Json::Value json(const std::string& text) {
    Json::Value v;
    EXPECT_TRUE(parseJson(text, v)) << text;
    return v;
}

// What the handler makes of a request: "shape", "clear", "incomplete", "refused" when a value
// is unfit, or "" when it would be applied.
std::string verdict(const Json::Value& request) {
    if (!hasNetConfShape(request)) return "shape";
    const NetConfRequest conf = readNetConfRequest(request);
    if (conf.isClear()) return "clear";
    if (!conf.isComplete()) return "incomplete";
    return netConfProblem(conf).empty() ? "" : "refused";
}

// Each change sets one member of a complete request ("a.b=JSON": member b of member a; with
// no "=" the member is removed). Every check has a change that gets through without it, and
// the values that reach a file or a command are judged on their whole length: a zero byte
// hides nothing. A "refused" change may also leave the request incomplete: refused either way.
TEST(NetConfRequest, OnlyCompleteRequestsOfFitValuesAreApplied) {
    const Json::Value good =
        json(R"({"ipv4":{"address":"10.0.0.8","gateway":"10.0.0.1","netmask":24},"nameservers":)"
             R"(["1.1.1.1","fd00::53"],"location":{"idc":"dc-1","soc_ip":"fd00::8","pod_id":3},)"
             R"("lxclist":[{"mac":"02:00:00:0A:0b:0c","ipv4":"10.0.0.9"},null]})");
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"",
         {"ipv4.netmask=32", "ipv4.netmask=1", "lxclist=[]", R"(nameservers=["1.1.1.1"])",
          R"(ipv6={"address":"fd00::1"})"}},  // ipv4 wins
        {"shape", {"location", "location=[]", R"(nameservers="1.1.1.1")", R"(ipv4="10.0.0.8")"}},
        {"clear", {R"(ipv4.gateway="clear")", R"(ipv4.address="clear")"}},
        {"incomplete",
         {"location.idc", R"(location.soc_ip="")", R"(location.pod_id="3")", "ipv4.address=8",
          "ipv4.gateway", "ipv4.netmask=0", "ipv4.netmask", "nameservers=[]",
          R"(nameservers=[null,"1.1.1.1"])"}},
        {"refused",
         {R"(ipv4.address="10.0.0.8\n    up reboot")", R"(ipv4.address="10.0.0.8\u0000\n  up")",
          R"(ipv4.address="fd00::8")", R"(ipv4.gateway="10.0.0.1 ")", R"(ipv4.gateway="fd00::1")",
          "ipv4.netmask=33", "ipv4.netmask=-1", "ipv4.netmask=4294967320"}},
        // Addresses no interface or gateway can have.
        {"refused",
         {R"(ipv4.address="0.0.0.0")", R"(ipv4.address="0.1.2.3")", R"(ipv4.address="127.0.0.8")",
          R"(ipv4.address="224.0.0.1")", R"(ipv4.address="239.1.1.1")",
          R"(ipv4.address="255.255.255.255")", R"(ipv4.gateway="0.0.0.0")",
          R"(ipv4.gateway="127.0.0.1")", R"(ipv4.gateway="255.255.255.255")",
          R"(ipv4.gateway="224.0.0.2")"}},
        {"",
         {R"(ipv4.address="1.0.0.1")", R"(ipv4.address="223.255.255.254")",
          R"(ipv4.address="240.0.0.8")", R"(ipv4.gateway="169.254.0.1")"}},
        {"refused",
         {R"(nameservers=["dns.example"])", R"(nameservers=["1.1.1.1","dns.example"])",
          R"(nameservers=["1.1.1.1\u0000\nnameserver 6.6.6.6"])",
          R"(nameservers=["1.1.1.1",["x"]])", R"(nameservers=["1.1.1.1",{}])"}},
        {"refused",
         {"location.pod_id=9999999999", R"(location.idc="dc,1")", R"(location.idc="dc=1")",
          R"(location.idc="dc\u0000")", R"(location.idc="dc\u001f")", R"(location.idc="dc\u007f")",
          R"(location.soc_ip="board-7")", R"(location.soc_ip="10.0.0.8\u0000,x=y")",
          // C1 controls, the separators and bytes that are not UTF-8 break lines as well.
          R"(location.idc="dc\u0085")", R"(location.idc="dc\u009f")", R"(location.idc="dc\u2028")",
          R"(location.idc="dc\u2029")", "location.idc=\"dc\xff\"", "location.idc=\"dc\xc2\"",
          "location.idc=\"\xc0\x8a\"", "location.idc=\"\xed\xa0\x80\""}},
        {"", {R"(location.idc="dc\u00a0\u00e9\u2027\u202a")", "location.idc=\"\xf0\x9f\x90\xa7\""}},
        {"refused",
         {R"(lxclist=["02:00:00:00:00:02"])", R"(lxclist=[{"mac":"02:00:00:00:00:0g"}])",
          R"(lxclist=[{"mac":"02:00:00:00:00:02:03"}])", R"(lxclist=[{"mac":"02-00-00-00-00-02"}])",
          R"(lxclist=[{"mac":7}])", R"(lxclist=[{"ipv4":null}])", R"(lxclist=[{"ipv4":"fd00::9"}])",
          R"(lxclist=[{"ipv4":"10.0.0.9\n"}])"}},
        // A container needs its MAC and an address of the request's family; null holds a slot.
        {"refused",
         {R"(lxclist=[{}])", R"(lxclist=[{"mac":"02:00:00:00:00:02"}])",
          R"(lxclist=[{"mac":"02:00:00:00:00:02","ipv6":"fd00::9"}])",
          R"(lxclist=[{"mac":"","ipv4":""}])", R"(lxclist=[{"ipv4":"10.0.0.9"}])",
          R"(lxclist=[{"mac":"02:00:00:00:00:02","ipv4":"127.0.0.9"}])",
          R"(lxclist=[{"mac":"02:00:00:00:00:02","ipv4":"0.0.0.0"}])"}},
        {"", {R"(lxclist=[null,null])"}},
    };
    for (const auto& [expected, changes] : cases) {
        for (const std::string& change : changes) {
            Json::Value request = good;
            const std::size_t eq = change.find('=');
            const std::string member = change.substr(0, eq);
            const std::size_t dot = member.find('.');
            Json::Value& parent =
                dot == std::string::npos ? request : request[member.substr(0, dot)];
            const std::string name = member.substr(dot == std::string::npos ? 0 : dot + 1);
            if (eq == std::string::npos) {
                parent.removeMember(name);
            } else {
                parent[name] = json(change.substr(eq + 1));
            }
            const std::string got = verdict(request);
            EXPECT_TRUE(got == expected || (expected == "refused" && got == "incomplete"))
                << change << ": " << got;
        }
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
    // The unspecified, loopback, multicast and IPv4-mapped addresses are no interface's or
    // gateway's; a link-local gateway, as router advertisements give, is.
    const std::pair<const char*, bool> addresses[] = {
        {"::", false},     {"::1", false}, {"ff02::1", false},     {"::ffff:10.0.0.9", false},
        {"fe80::1", true}, {"::2", true},  {"2001:db8::ff", true},
    };
    for (const auto& [address, fit] : addresses) {
        NetConfRequest asAddress = v6;
        asAddress.address = address;
        NetConfRequest asGateway = v6;
        asGateway.gateway = address;
        EXPECT_EQ(netConfProblem(asAddress).empty(), fit) << address;
        EXPECT_EQ(netConfProblem(asGateway).empty(), fit) << address;
    }
    const NetConfRequest v4 = readNetConfRequest(
        json(R"({"ipv4":{},"location":{},"nameservers":["1.1.1.1"],"lxclist":{}})"));
    EXPECT_EQ(v4.dns2, "");
    EXPECT_FALSE(v4.containersGiven);
}

}  // namespace
