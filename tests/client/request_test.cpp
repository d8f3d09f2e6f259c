#include "client/request.h"

#include <gtest/gtest.h>

#include <regex>

#include "netconf/net_conf_request.h"

namespace {

TEST(ClientRequest, FreshUuidsAreRandomVersionFour) {
    const std::regex v4("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    const std::string first = qfclient::newUuid();
    EXPECT_TRUE(std::regex_match(first, v4)) << first;
    EXPECT_NE(qfclient::newUuid(), first);
}

using Containers = std::vector<qfclient::NetSettings::Container>;

qfclient::NetSettings v4Settings() {
    qfclient::NetSettings s;
    s.address = "10.0.0.8/24";
    s.gateway = "10.0.0.1";
    s.dns = {"8.8.8.8"};
    s.idc = "dc1";
    s.socIp = "10.0.0.8";
    s.podId = -3;
    return s;
}

// Every request the builder lets through is one the board's own checks accept; a refused
// one names the value at fault, whatever the rule that refuses it.
TEST(ClientRequest, SetNetIsBuiltOnlyWhenTheBoardWouldApplyIt) {
    using Change = void (*)(qfclient::NetSettings&);
    struct Case {
        Change change;
        const char* lineOrError;
    } const cases[] = {
        {[](qfclient::NetSettings& s) {
             s.dns.emplace_back("fd00::53");
             s.containers =
                 Containers{{"02:00:00:00:00:09", "10.0.0.9"}, {"02:00:00:00:00:0A", "10.0.0.10"}};
         },
         R"({"cmd":"set_net_conf","ipv4":{"address":"10.0.0.8","gateway":"10.0.0.1","netmask":24},"location":{"idc":"dc1","pod_id":-3,"soc_ip":"10.0.0.8"},"lxclist":[{"ipv4":"10.0.0.9","mac":"02:00:00:00:00:09"},{"ipv4":"10.0.0.10","mac":"02:00:00:00:00:0A"}],"nameservers":["8.8.8.8","fd00::53"],"uuid":"u"})"},
        {[](qfclient::NetSettings& s) {
             s.address = "fd00::8/64";
             s.gateway = "fd00::1";
             s.containers.emplace();
         },
         R"({"cmd":"set_net_conf","ipv6":{"address":"fd00::8","gateway":"fd00::1","netmask":64},"location":{"idc":"dc1","pod_id":-3,"soc_ip":"10.0.0.8"},"lxclist":[],"nameservers":["8.8.8.8"],"uuid":"u"})"},
        {[](qfclient::NetSettings& s) {
             s.containers = Containers{{"aa:bb", "10.0.0.9"}};
         },
         "container 1 mac 'aa:bb'"},
        {[](qfclient::NetSettings& s) {
             s.containers = Containers{{"02:00:00:00:00:09", "fd00::9"}};
         },
         "container 1 address 'fd00::9'"},
        {[](qfclient::NetSettings& s) { s.idc = "dc1,x=1"; }, "idc 'dc1,x=1'"},
        {[](qfclient::NetSettings& s) { s.idc = std::string("dc\0x", 4); }, "idc 'dc\\x00x'"},
        {[](qfclient::NetSettings& s) { s.idc = "dc\x01"; }, "idc 'dc\\x01'"},
        {[](qfclient::NetSettings& s) { s.socIp = "board-7"; }, "soc_ip 'board-7'"},
        {[](qfclient::NetSettings& s) { s.address = "10.0.0.8/33"; }, "address '10.0.0.8/33'"},
        {[](qfclient::NetSettings& s) { s.address = "10.0.0.8"; }, "is not ADDRESS/PREFIX"},
        {[](qfclient::NetSettings& s) { s.gateway = "fd00::1"; }, "gateway 'fd00::1'"},
        {[](qfclient::NetSettings& s) { s.dns = {"ns.example"}; }, "dns 'ns.example'"},
        {[](qfclient::NetSettings& s) { s.podId = std::int64_t{1} << 40; },
         "pod_id '1099511627776'"},
        {[](qfclient::NetSettings& s) {
             s.dns = {"1.1.1.1", "8.8.8.8", "9.9.9.9"};
         },
         "at most two"},
        {[](qfclient::NetSettings& s) {
             s.gateway.clear();
             s.podId.reset();
         },
         "needs a value for: gateway, pod_id"},
    };
    for (const Case& c : cases) {
        qfclient::NetSettings settings = v4Settings();
        c.change(settings);
        Json::Value request;
        std::string error;
        if (qfclient::setNetRequest("u", settings, request, error)) {
            EXPECT_EQ(qfclient::compactJson(request), c.lineOrError);
            EXPECT_EQ(netConfProblem(readNetConfRequest(request)), "") << c.lineOrError;
        } else {
            EXPECT_NE(error.find(c.lineOrError), std::string::npos)
                << c.lineOrError << ": " << error;
        }
    }
}

// A sent line is matched by the uuid it carries, null when it has none; a line that is not
// a JSON object by nothing.
TEST(ClientRequest, CallsKnowWhatAnswersThem) {
    EXPECT_EQ(qfclient::lineCall(R"({"cmd":"set_net_conf","uuid":7})").uuid, Json::Value(7));
    EXPECT_EQ(qfclient::lineCall(R"({"cmd":"get_stat"})").uuid, Json::Value());
    EXPECT_FALSE(qfclient::lineCall("hello").uuid);
    EXPECT_EQ(qfclient::defaultTimeoutMs(qfclient::lineCall(R"({"cmd":"set_net_conf"})")), 60000);
    EXPECT_EQ(qfclient::defaultTimeoutMs(qfclient::requestCall(qfclient::statRequest("u"))), 5000);
    EXPECT_EQ(
        qfclient::requestCall(qfclient::clearRequest("u", true)).line,
        R"({"cmd":"set_net_conf","ipv6":{"address":"clear","gateway":"clear"},"location":{},"nameservers":[],"uuid":"u"})"
        "\n");
}

}  // namespace
