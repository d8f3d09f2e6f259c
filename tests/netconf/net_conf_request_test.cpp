#include "netconf/net_conf_request.h"

#include <gtest/gtest.h>

#include "core/util.h"

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
    EXPECT_EQ(netConfProblem(v4, Json::Value()), "");

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

// Every value that reaches the interface file or a container record must be fit for it.
TEST(NetConfRequest, RejectsValuesUnfitForTheBoard) {
    struct Case {
        const char* ipv4;
        const char* ipv6;
        const char* nameservers;
        const char* location;
        const char* lxclist;
        bool accepted;
    } const cases[] = {
        {R"({"address":"10.0.0.8","gateway":"10.0.0.1","netmask":32})", nullptr, R"(["1.1.1.1"])",
         "{}", "null", true},
        {nullptr, R"({"address":"fd00::8","gateway":"fe80::1","netmask":128})",
         R"(["1.1.1.1","fd00::53"])", "{}",
         R"([{"mac":"02:00:00:00:00:02","ipv6":"fd00::9"},null])", true},
        // Injection through the address or gateway line.
        {R"({"address":"10.0.0.8\n    up reboot","gateway":"10.0.0.1","netmask":24})", nullptr,
         R"(["1.1.1.1"])", "{}", "null", false},
        {R"({"address":"10.0.0.8","gateway":"10.0.0.1 ","netmask":24})", nullptr, R"(["1.1.1.1"])",
         "{}", "null", false},
        {R"({"address":"fd00::8","gateway":"10.0.0.1","netmask":24})", nullptr, R"(["1.1.1.1"])",
         "{}", "null", false},
        {nullptr, R"({"address":"10.0.0.8","gateway":"fd00::1","netmask":64})", R"(["1.1.1.1"])",
         "{}", "null", false},
        {R"({"address":"10.0.0.8","gateway":"10.0.0.1","netmask":24})", nullptr,
         R"(["dns.example"])", "{}", "null", false},
        {R"({"address":"10.0.0.8","gateway":"10.0.0.1","netmask":24})", nullptr,
         R"(["1.1.1.1",["x"]])", "{}", "null", false},
        {R"({"address":"10.0.0.8","gateway":"10.0.0.1","netmask":33})", nullptr, R"(["1.1.1.1"])",
         "{}", "null", false},
        {R"({"address":"10.0.0.8","gateway":"10.0.0.1","netmask":-1})", nullptr, R"(["1.1.1.1"])",
         "{}", "null", false},
        {nullptr, R"({"address":"fd00::8","gateway":"fd00::1","netmask":129})", R"(["1.1.1.1"])",
         "{}", "null", false},
        {R"({"address":"10.0.0.8","gateway":"10.0.0.1","netmask":4294967320})", nullptr,
         R"(["1.1.1.1"])", "{}", "null", false},
        {R"({"address":"10.0.0.8","gateway":"10.0.0.1","netmask":24})", nullptr, R"(["1.1.1.1"])",
         R"({"pod_id":9999999999})", "null", false},
        {R"({"address":"10.0.0.8","gateway":"10.0.0.1","netmask":24})", nullptr, R"(["1.1.1.1"])",
         "{}", R"(["02:00:00:00:00:02"])", false},
        {R"({"address":"10.0.0.8","gateway":"10.0.0.1","netmask":24})", nullptr, R"(["1.1.1.1"])",
         "{}", R"([{"mac":{"a":1},"ipv4":"10.0.0.9"}])", false},
        {R"({"address":"10.0.0.8","gateway":"10.0.0.1","netmask":24})", nullptr, R"(["1.1.1.1"])",
         "{}", R"([{"mac":"m","ipv4":["10.0.0.9"]}])", false},
    };
    for (const Case& c : cases) {
        Json::Value request(Json::objectValue);
        if (c.ipv4 != nullptr) request["ipv4"] = json(c.ipv4);
        if (c.ipv6 != nullptr) request["ipv6"] = json(c.ipv6);
        request["nameservers"] = json(c.nameservers);
        request["location"] = json(c.location);
        const NetConfRequest conf = readNetConfRequest(request);
        const std::string problem = netConfProblem(conf, json(c.lxclist));
        EXPECT_EQ(problem.empty(), c.accepted)
            << request.toStyledString() << c.lxclist << " -> " << problem;
    }
}

}  // namespace
