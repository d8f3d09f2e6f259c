#include "netconf/net_conf_request.h"

#include <gtest/gtest.h>

#include "core/json_text.h"

namespace {

Json::Value json(const std::string& text) {
    Json::Value v;
    EXPECT_TRUE(parseJson(text, v)) << text;
    return v;
}

const char* const kGood4 =
    R"({"cmd":"set_net_conf","ipv4":{"address":"10.0.0.8","gateway":"10.0.0.1","netmask":24},)"
    R"("location":{"idc":"dc1","soc_ip":"10.0.0.8","pod_id":3},"nameservers":["1.1.1.1","8.8.8.8"]})";

TEST(NetConfRequest, ShapeNeedsAddressObjectLocationObjectAndNameServerArray) {
    struct Case {
        const char* text;
        bool shaped;
    } const cases[] = {
        {kGood4, true},
        {R"({"ipv6":{},"location":{},"nameservers":[]})", true},
        {R"({"ipv4":null,"ipv6":{},"location":{},"nameservers":[]})", true},
        {R"({"ipv4":"10.0.0.8","location":{},"nameservers":[]})", false},
        {R"({"ipv4":{},"nameservers":[]})", false},
        {R"({"ipv4":{},"location":{},"nameservers":"1.1.1.1"})", false},
        {R"({"ipv4":{},"location":[],"nameservers":[]})", false},
    };
    for (const Case& c : cases) EXPECT_EQ(hasNetConfShape(json(c.text)), c.shaped) << c.text;
}

TEST(NetConfRequest, ReadsValuesAndFamilyDefaults) {
    const NetConfRequest v4 = readNetConfRequest(json(kGood4));
    EXPECT_EQ(v4.ipType, 0);
    EXPECT_EQ(v4.podId, "3");
    EXPECT_EQ(v4.prefixLength, 24);
    EXPECT_TRUE(v4.isComplete());
    EXPECT_EQ(netConfProblem(v4), "");

    // IPv4 wins over IPv6; IPv6 fills the second name server; wrong types count as missing.
    const NetConfRequest both = readNetConfRequest(json(
        R"({"ipv4":{"address":"10.0.0.9"},"ipv6":{"address":"fd00::9"},"location":{"pod_id":"12"},"nameservers":["1.1.1.1"]})"));
    EXPECT_EQ(both.address, "10.0.0.9");
    EXPECT_EQ(both.dns2, "");
    EXPECT_EQ(both.podId, "");
    const NetConfRequest v6 = readNetConfRequest(json(
        R"({"ipv6":{"address":"fd00::9","netmask":64},"location":{"pod_id":-4},"nameservers":[7]})"));
    EXPECT_EQ(v6.ipType, 1);
    EXPECT_EQ(v6.dns1, "7");
    EXPECT_EQ(v6.dns2, "fdbd:dc00::10:8:8:8");
    EXPECT_EQ(v6.podId, "-4");

    EXPECT_TRUE(
        readNetConfRequest(json(R"({"ipv4":{"gateway":"clear"},"location":{},"nameservers":[]})"))
            .isClear());
}

// Every value that reaches a file or a command must be fit for it, judged on its whole
// length: a zero byte must not hide what follows it from the address check.
TEST(NetConfRequest, RejectsValuesUnfitForTheBoard) {
    const Json::Value good =
        json(R"({"ipv4":{"address":"10.0.0.8","gateway":"10.0.0.1","netmask":24},"nameservers":)"
             R"(["1.1.1.1","fd00::53"],"location":{"idc":"dc-1","soc_ip":"fd00::8","pod_id":3},)"
             R"("lxclist":[{"mac":"02:00:00:0A:0b:0c","ipv4":"10.0.0.9"},null,{}]})");
    struct Case {
        const char* member;  // "a.b": member b of member a
        const char* value;   // JSON
        bool accepted;
    } const cases[] = {
        {"ipv4.netmask", "32", true},
        {"lxclist", "[]", true},
        {"ipv4.address", R"("10.0.0.8\n    up reboot")", false},
        {"ipv4.address", R"("10.0.0.8\u0000\n    up reboot")", false},
        {"ipv4.gateway", R"("10.0.0.1 ")", false},
        {"ipv4.gateway", R"("fd00::1")", false},
        {"ipv4.netmask", "33", false},
        {"ipv4.netmask", "0", false},
        {"ipv4.netmask", "4294967320", false},
        {"nameservers", R"(["dns.example"])", false},
        {"nameservers", R"(["1.1.1.1\u0000\nnameserver 6.6.6.6"])", false},
        {"nameservers", R"(["1.1.1.1",["x"]])", false},
        {"location.pod_id", "9999999999", false},
        {"location.idc", R"("dc1,soc_ip=1.2.3.4")", false},
        {"location.idc", R"("dc\u007f")", false},
        {"location.soc_ip", R"("board-7")", false},
        {"location.soc_ip", R"("10.0.0.8\u0000,x=y")", false},
        {"lxclist", R"(["02:00:00:00:00:02"])", false},
        {"lxclist", R"([{"mac":"02:00:00:00:00:0g"}])", false},
        {"lxclist", R"([{"mac":"2:00:00:00:00:02"}])", false},
        {"lxclist", R"([{"mac":7}])", false},
        {"lxclist", R"([{"ipv4":null}])", false},
        {"lxclist", R"([{"ipv4":"fd00::9"}])", false},
        {"lxclist", R"([{"ipv4":"10.0.0.9\n"}])", false},
    };
    for (const Case& c : cases) {
        Json::Value request = good;
        const std::string member = c.member;
        const std::size_t dot = member.find('.');
        Json::Value& target = dot == std::string::npos
                                  ? request[member]
                                  : request[member.substr(0, dot)][member.substr(dot + 1)];
        target = json(c.value);
        const std::string problem = netConfProblem(readNetConfRequest(request));
        EXPECT_EQ(problem.empty(), c.accepted) << c.member << "=" << c.value << ": " << problem;
    }
}

}  // namespace
