// SPDX-License-Identifier: Apache-2.0
// What a board runs against its inventory entry; what a set_net_conf reply adds to ret_val.
#include "ctl/drift.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "ctl/apply_note.h"
#include "ctl/inventory.h"
#include "quillferry/reply.h"

namespace {

// The network of an inventory entry, read as the inventory reads it.
qfclient::NetSettings entry(const std::string& network) {
    std::vector<ctl::InventoryBoard> boards;
    ctl::Complaints complaints;
    const std::string text =
        R"({"boards": [{"name": "b", "line": "/dev/x", "network": )" + network + "}]}";
    EXPECT_TRUE(ctl::parseInventory(text, boards, complaints)) << complaints.lines().front();
    return boards.empty() || !boards[0].network ? qfclient::NetSettings() : *boards[0].network;
}

Json::Value json(const std::string& text) {
    Json::Value v;
    EXPECT_TRUE(Json::Reader().parse(text, v)) << text;
    return v;
}

const char* const kV4 = R"({"address": "10.0.0.8/24", "gateway": "10.0.0.1", "dns": ["10.0.0.53"],
    "idc": "dc 1", "soc_ip": "10.0.0.8", "pod_id": 3,
    "containers": [{"mac": "02:00:00:00:00:0a", "address": "10.0.0.10"}]})";
// What a board that applied kV4 reports (texts without spaces, as every reply's).
const char* const kV4InForce =
    R"({"ipv4":{"address":"10.0.0.8","gateway":"10.0.0.1","netmask":24},"location":{"idc":"dc1","pod_id":3,"soc_ip":"10.0.0.8"},"lxclist":[{"ipv4":"10.0.0.10","mac":"02:00:00:00:00:0a"}],"nameservers":["10.0.0.53"]})";

std::string reply(const std::string& inForce) {
    return R"({"cmd":"get_net_conf","ret_val":0,"uuid":"1")" +
           (inForce.empty() ? "" : ",\"in_force\":" + inForce) + "}";
}

std::string replace(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

// Each way a board's report can stand to its entry: the differences, board's -> inventory's
// (none: in sync; no report: cannot tell).
TEST(CtlDrift, ABoardRunsItsEntryOrEachValueThatDiffersIsNamed) {
    const std::string v6 =
        R"({"address": "fd00::8/64", "gateway": "fd00::1", "dns": ["fd00::53"], "idc": "dc1",
            "soc_ip": "fd00::8", "pod_id": 3})";
    const std::string v6InForce =
        R"({"ipv6":{"address":"fd00::8","gateway":"fd00::1","netmask":64},"location":{"idc":"dc1","pod_id":3,"soc_ip":"fd00::8"},"lxclist":null,"nameservers":["fd00::53","fdbd:dc00::10:8:8:8"]})";
    const std::string noContainers =
        std::regex_replace(kV4, std::regex(",\n *\"containers\".*\\]"), "");
    const std::string v4 = kV4InForce;
    const std::string containers = R"([{"ipv4":"10.0.0.10","mac":"02:00:00:00:00:0a"}])";
    const struct {
        const char* what;
        std::string network;
        std::string inForce;  // empty: the reply has none
        std::string lines;    // each difference ended by a newline
    } cases[] = {
        {"the same, its texts without spaces", kV4, v4, ""},
        {"IPv6 with the board's default second name server", v6, v6InForce, ""},
        {"no containers given: the board's list is not compared", noContainers,
         replace(v4, "10.0.0.10", "10.0.0.11"), ""},
        {"address and gateway", kV4,
         replace(replace(v4, R"("address":"10.0.0.8")", R"("address":"10.0.1.8")"), "10.0.0.1\"",
                 "10.0.1.1\""),
         "address: 10.0.1.8/24 -> 10.0.0.8/24\ngateway: 10.0.1.1 -> 10.0.0.1\n"},
        {"the family", noContainers, v6InForce,
         "address: fd00::8/64 -> 10.0.0.8/24\ngateway: fd00::1 -> 10.0.0.1\n"
         "dns: fd00::53, fdbd:dc00::10:8:8:8 -> 10.0.0.53\nsoc_ip: fd00::8 -> 10.0.0.8\n"},
        {"location", kV4, replace(v4, R"("pod_id":3)", R"("pod_id":4)"), "pod_id: 4 -> 3\n"},
        {"a container more, one unused", kV4,
         replace(v4, R"("mac":"02:00:00:00:00:0a"}])", R"("mac":"02:00:00:00:00:0b"},null])"),
         "container 1: 02:00:00:00:00:0b=10.0.0.10 -> 02:00:00:00:00:0a=10.0.0.10\n"
         "container 2: unused -> none\n"},
        {"the board's list not known", kV4, replace(v4, containers, "null"),
         "containers: not known -> 02:00:00:00:00:0a=10.0.0.10\n"},
        {"nothing in force", noContainers, "null",
         "address: nothing in force -> 10.0.0.8/24\ngateway: nothing in force -> 10.0.0.1\n"
         "dns: nothing in force -> 10.0.0.53\nidc: nothing in force -> dc1\n"
         "soc_ip: nothing in force -> 10.0.0.8\npod_id: nothing in force -> 3\n"},
        {"unknown", kV4, R"("unknown")",
         "address: unknown -> 10.0.0.8/24\ngateway: unknown -> 10.0.0.1\n"
         "dns: unknown -> 10.0.0.53\nidc: unknown -> dc1\nsoc_ip: unknown -> 10.0.0.8\n"
         "pod_id: unknown -> 3\ncontainers: unknown -> 02:00:00:00:00:0a=10.0.0.10\n"},
        {"a board of an earlier version", kV4, "", ""},
        // A board's values are read by their kind: none of another kind passes for the same.
        {"values of another kind", noContainers,
         replace(replace(v4, R"("pod_id":3)", R"("pod_id":"3")"), R"("idc":"dc1")",
                 R"("idc":["dc1\u001b"])"),
         "idc: [\"dc1\\\\u001b\"] -> dc1\npod_id: \"3\" -> 3\n"},
        {"both families", noContainers,
         replace(v4, R"("location")",
                 R"("ipv6":{"address":"fd00::8","gateway":"fd00::1","netmask":64},"location")"),
         R"(address: {"ipv4":{"address":"10.0.0.8","gateway":"10.0.0.1","netmask":24}... -> 10.0.0.8/24)"
         "\ngateway: none -> 10.0.0.1\n"},
    };
    using State = ctl::Drift::State;
    for (const auto& c : cases) {
        ctl::Drift drift;
        std::string why;
        ASSERT_TRUE(ctl::compareInForce(entry(c.network), json(reply(c.inForce)), drift, why))
            << c.what << ": " << why;
        EXPECT_EQ(drift.state, c.inForce.empty() ? State::CannotTell
                               : c.lines.empty() ? State::InSync
                                                 : State::Differs)
            << c.what;
        std::string lines;
        for (const std::string& line : ctl::diffLines(drift)) lines += line + "\n";
        EXPECT_EQ(lines, c.lines) << c.what;
        EXPECT_EQ(ctl::differencesJson(drift).size(), std::count(lines.begin(), lines.end(), '\n'))
            << c.what;
    }
}

// In force as the inventory writes it; a report of a kind no board sends is refused, one of a
// thousand containers keeps a few differences.
TEST(CtlDrift, InForceInTheInventorysTermsAndWithinBounds) {
    ctl::Drift drift;
    std::string why;
    ASSERT_TRUE(ctl::compareInForce(entry(kV4), json(reply(kV4InForce)), drift, why));
    EXPECT_EQ(
        qfclient::compactJson(drift.inForce),
        R"({"address":"10.0.0.8/24","containers":[{"address":"10.0.0.10","mac":"02:00:00:00:00:0a"}],"dns":["10.0.0.53"],"gateway":"10.0.0.1","idc":"dc1","pod_id":3,"soc_ip":"10.0.0.8"})");
    EXPECT_EQ(drift.inForce, drift.network);

    for (const char* odd : {"3", "[]", R"("Unknown")", "true"}) {
        EXPECT_FALSE(ctl::compareInForce(entry(kV4), json(reply(odd)), drift, why)) << odd;
        EXPECT_EQ(why, R"(in_force is neither null, "unknown" nor an object)");
    }

    std::string many = "[null";
    for (int i = 1; i < 1000; ++i) many += ",null";
    const std::string containers = R"([{"ipv4":"10.0.0.10","mac":"02:00:00:00:00:0a"}])";
    ASSERT_TRUE(ctl::compareInForce(
        entry(kV4), json(reply(replace(kV4InForce, containers, many + "]"))), drift, why));
    EXPECT_EQ(drift.differences.size(), ctl::kMaxDifferences);
    EXPECT_EQ(drift.moreDifferences, 1000 - ctl::kMaxDifferences);
    EXPECT_EQ(ctl::diffLines(drift).back(), "and 968 more");
}

// The put-back, the gateway check, or that none ran although asked for; else nothing.
TEST(CtlApplyNote, TheGatewayCheckAndThePutBackAreTold) {
    const auto call = [](const std::string& line) {
        qfclient::Call c;
        std::string error;
        EXPECT_TRUE(qfclient::lineCall(line, c, error)) << error;
        return c;
    };
    const qfclient::Call verified = call(R"({"cmd":"set_net_conf","verify_gateway":3})");
    const qfclient::Call plain = call(R"({"cmd":"set_net_conf"})");
    const qfclient::Call query = call(R"({"cmd":"get_net_conf"})");
    const struct {
        const qfclient::Call& call;
        const char* reply;
        const char* note;
    } cases[] = {
        {verified, R"({"gateway_check":"answered","ret_val":0})", "the gateway answered"},
        {verified, R"({"gateway_check":"silent","ret_val":-5})",
         "the configuration before is back in force: the apply failed or its gateway did not "
         "answer; the gateway did not answer within 3 s"},
        {verified, R"({"gateway_check":"not_run","ret_val":-6})",
         "the configuration before could not be put back: what the board runs is unknown; the "
         "gateway was not checked: the apply failed before it, or nothing was restarted"},
        {verified, R"({"ret_val":0})",
         "no gateway check ran: the board does not know verify_gateway (an earlier version) and "
         "applied without one"},
        {verified, R"({"ret_val":-1})", ""},
        {verified, R"({"gateway_check":7,"ret_val":0})", "gateway_check 7"},
        {plain, R"({"ret_val":0})", ""},
        {plain, R"({"ret_val":-5})",
         "the configuration before is back in force: the apply failed or its gateway did not "
         "answer"},
        {query, R"({"ret_val":-5})", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(ctl::applyNote(c.call, json(c.reply)), c.note) << c.reply;
}

}  // namespace
