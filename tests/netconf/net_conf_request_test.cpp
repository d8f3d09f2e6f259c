#include "netconf/net_conf_request.h"

#include <gtest/gtest.h>

#include "core/json_text.h"

namespace {

Json::Value json(const std::string& text) {
    Json::Value v;
    EXPECT_TRUE(parseJson(text, v)) << text;
    return v;
}

// What the handler makes of a request: "shape", "clear", "incomplete", the reason it is
// unfit, or "" when it would be applied.
std::string verdict(const Json::Value& request) {
    if (!hasNetConfShape(request)) return "shape";
    const NetConfRequest conf = readNetConfRequest(request);
    if (conf.isClear()) return "clear";
    if (!conf.isComplete()) return "incomplete";
    return netConfProblem(conf);
}

// Each case changes one member of a complete request ("a.b": member b of member a; the value
// "-" removes it). Every check has a case that fails without it, and the values that reach a
// file or a command are judged on their whole length: a zero byte hides nothing.
TEST(NetConfRequest, OnlyCompleteRequestsOfFitValuesAreApplied) {
    const Json::Value good =
        json(R"({"ipv4":{"address":"10.0.0.8","gateway":"10.0.0.1","netmask":24},"nameservers":)"
             R"(["1.1.1.1","fd00::53"],"location":{"idc":"dc-1","soc_ip":"fd00::8","pod_id":3},)"
             R"("lxclist":[{"mac":"02:00:00:0A:0b:0c","ipv4":"10.0.0.9"},null,{}]})");
    struct Case {
        const char* member;
        const char* value;
        const char* verdict;  // "!": refused, for whatever reason
    } const cases[] = {
        {"ipv4.netmask", "32", ""},
        {"lxclist", "[]", ""},
        {"nameservers", R"(["1.1.1.1"])", ""},
        {"ipv6", R"({"address":"fd00::1"})", ""},  // ipv4 wins
        {"location", "-", "shape"},
        {"location", "[]", "shape"},
        {"nameservers", R"("1.1.1.1")", "shape"},
        {"ipv4", R"("10.0.0.8")", "shape"},
        {"ipv4.gateway", R"("clear")", "clear"},
        {"ipv4.address", R"("clear")", "clear"},
        {"location.idc", "-", "incomplete"},
        {"location.soc_ip", R"("")", "incomplete"},
        {"location.pod_id", R"("3")", "incomplete"},
        {"ipv4.address", "8", "incomplete"},
        {"ipv4.gateway", "-", "incomplete"},
        {"ipv4.netmask", "0", "incomplete"},
        {"ipv4.netmask", "-", "incomplete"},
        {"nameservers", "[]", "incomplete"},
        {"nameservers", R"([null,"1.1.1.1"])", "incomplete"},
        {"ipv4.address", R"("10.0.0.8\n    up reboot")", "!"},
        {"ipv4.address", R"("10.0.0.8\u0000\n    up reboot")", "!"},
        {"ipv4.gateway", R"("10.0.0.1 ")", "!"},
        {"ipv4.gateway", R"("fd00::1")", "!"},
        {"ipv4.netmask", "33", "!"},
        {"ipv4.netmask", "-1", "!"},
        {"ipv4.netmask", "4294967320", "!"},
        {"nameservers", R"(["dns.example"])", "!"},
        {"nameservers", R"(["1.1.1.1\u0000\nnameserver 6.6.6.6"])", "!"},
        {"nameservers", R"(["1.1.1.1",["x"]])", "!"},
        {"location.pod_id", "9999999999", "!"},
        {"location.idc", R"("dc1,soc_ip=1.2.3.4")", "!"},
        {"location.idc", R"("dc\u007f")", "!"},
        {"location.soc_ip", R"("board-7")", "!"},
        {"location.soc_ip", R"("10.0.0.8\u0000,x=y")", "!"},
        {"lxclist", R"(["02:00:00:00:00:02"])", "!"},
        {"lxclist", R"([{"mac":"02:00:00:00:00:0g"}])", "!"},
        {"lxclist", R"([{"mac":"2:00:00:00:00:02"}])", "!"},
        {"lxclist", R"([{"mac":7}])", "!"},
        {"lxclist", R"([{"ipv4":null}])", "!"},
        {"lxclist", R"([{"ipv4":"fd00::9"}])", "!"},
        {"lxclist", R"([{"ipv4":"10.0.0.9\n"}])", "!"},
    };
    for (const Case& c : cases) {
        Json::Value request = good;
        const std::string member = c.member;
        const std::size_t dot = member.find('.');
        Json::Value& parent = dot == std::string::npos ? request : request[member.substr(0, dot)];
        const std::string name = member.substr(dot == std::string::npos ? 0 : dot + 1);
        if (std::string(c.value) == "-") {
            parent.removeMember(name);
        } else {
            parent[name] = json(c.value);
        }
        const std::string got = verdict(request);
        if (std::string(c.verdict) == "!") {
            EXPECT_TRUE(!got.empty() && got != "shape" && got != "clear")
                << c.member << "=" << c.value << ": " << got;
        } else {
            EXPECT_EQ(got, c.verdict) << c.member << "=" << c.value;
        }
    }
}

TEST(NetConfRequest, ValuesAndFamilyDefaults) {
    // IPv6 fills an empty second name server with the site's; numbers are read as text.
    const NetConfRequest v6 = readNetConfRequest(json(
        R"({"ipv6":{"address":"fd00::9","netmask":64},"location":{"pod_id":-4},"nameservers":[7],)"
        R"("lxclist":[{"mac":"m","ipv4":"x","ipv6":"fd00::9"},null]})"));
    EXPECT_EQ(v6.ipType, 1);
    EXPECT_EQ(v6.dns1, "7");
    EXPECT_EQ(v6.dns2, "fdbd:dc00::10:8:8:8");
    EXPECT_EQ(v6.podId, "-4");
    EXPECT_TRUE(v6.containersGiven);
    EXPECT_EQ(v6.containers, (std::vector<Container>{{"m", "fd00::9"}, {"", ""}}));
    const NetConfRequest v4 = readNetConfRequest(
        json(R"({"ipv4":{},"location":{},"nameservers":["1.1.1.1"],"lxclist":{}})"));
    EXPECT_EQ(v4.dns2, "");
    EXPECT_FALSE(v4.containersGiven);
}

}  // namespace
