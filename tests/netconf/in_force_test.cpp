// SPDX-License-Identifier: Apache-2.0
// What is in force: the state file's text and what is taken back from it, and how each kind
// of request but a verified one leaves it on a scratch board.
#include "netconf/in_force.h"

#include <json/json.h>

#include <string>
#include <vector>

#include "board_conf.h"
#include "captured_log.h"
#include "expect_text.h"
#include "protocol/json_text.h"
#include "protocol/net_conf_request.h"
#include "scratch_board.h"

namespace {

using qftest::BoardConf;

// The text as written, and every state taken back as it was; a file is taken only whole, as
// the daemon writes it: anything else, from a torn write to a value no request could apply,
// is no state (the reader makes it "unknown").
TEST(InForceFile, TextIsGoldenReadBackAndAnythingElseIsNoState) {
    const InForce v6 = appliedInForce(
        readNetConfRequest(json(
            R"({"ipv6":{"address":"fd00::8","gateway":"fd00::1","netmask":64},"nameservers":)"
            R"(["fd00::53"],"location":{"idc":"dc1","soc_ip":"fd00::8","pod_id":-4},"lxclist":)"
            R"([{"mac":"02:00:00:0A:0b:0c","ipv6":"fd00::101"},null]})")),
        InForce());
    EXPECT_EQ(
        renderInForce(v6),
        "{\n\t\"in_force\" : \n\t{\n\t\t\"ipv6\" : \n\t\t{\n\t\t\t\"address\" : \"fd00::8\",\n"
        "\t\t\t\"gateway\" : \"fd00::1\",\n\t\t\t\"netmask\" : 64\n\t\t},\n"
        "\t\t\"location\" : \n\t\t{\n\t\t\t\"idc\" : \"dc1\",\n\t\t\t\"pod_id\" : -4,\n"
        "\t\t\t\"soc_ip\" : \"fd00::8\"\n\t\t},\n\t\t\"nameservers\" : \n\t\t[\n"
        "\t\t\t\"fd00::53\",\n\t\t\t\"fdbd:dc00::10:8:8:8\"\n\t\t]\n\t},\n"
        "\t\"lxclist\" : \n\t[\n\t\t{\n\t\t\t\"ipv6\" : \"fd00::101\",\n"
        "\t\t\t\"mac\" : \"02:00:00:0A:0b:0c\"\n\t\t},\n\t\tnull\n\t]\n}\n");
    EXPECT_EQ(renderInForce(InForce()), "{\n\t\"in_force\" : null,\n\t\"lxclist\" : null\n}\n");
    InForce unknown;
    unknown.state = InForce::State::Unknown;
    unknown.lxclist = v6.lxclist;
    for (const InForce& state : {v6, InForce(), unknown}) {
        InForce back;
        std::string why;
        EXPECT_TRUE(parseInForce(renderInForce(state), back, why)) << why;
        EXPECT_EQ(back, state) << renderInForce(state);
    }

    const std::string v4 = R"({"ipv4":{"address":"10.0.0.8","gateway":"10.0.0.1","netmask":24},)"
                           R"("location":{"idc":"dc1","pod_id":3,"soc_ip":"10.0.0.8"},)"
                           R"("nameservers":["10.0.0.53"]})";
    const auto file = [](const std::string& inForce, const std::string& list) {
        return R"({"in_force":)" + inForce + R"(,"lxclist":)" + list + "}";
    };
    const auto with = [&v4](const std::string& from, const std::string& to) {
        std::string changed = v4;
        return changed.replace(changed.find(from), from.size(), to);
    };
    const std::string entry = R"({"ipv4":"10.0.0.101","mac":"02:00:00:00:00:01"})";
    const std::pair<bool, std::vector<std::string>> texts[] = {
        {true,
         {file(v4, "null"), file(v4, "[" + entry + ",null]"), file(R"("unknown")", "[]"),
          file("null", "[null]")}},
        {false,
         {"", R"({"in_force":null)", "[]", R"({"in_force":null})",
          R"({"in_force":null,"lxclist":null,"uuid":1})", file(R"("Unknown")", "null"),
          file(with(R"("netmask":24)", R"("netmask":"24")"), "null"),
          file(with(R"("10.0.0.8","gateway")", R"("clear","gateway")"), "null"),
          file(with(R"("10.0.0.8","gateway")", R"("10.0.0.8\n up","gateway")"), "null"),
          file(with(R"("ipv4":)", R"("uuid":"u","ipv4":)"), "null"),
          file(v4, R"("02:00:00:00:00:01")"), file(v4, "[1]"),
          file(v4, R"([{"ipv4":"10.0.0.101","mac":"02:00:00:00:00:0g"}])"),
          file(v4, "[" + entry + R"(,{"ipv6":"fd00::1","mac":"02:00:00:00:00:02"}])"),
          file(v4, R"([{"ipv4":"10.0.0.101","mac":"02:00:00:00:00:01","name":"c1"}])"),
          file(v4, std::string(100, '[') + std::string(100, ']'))}},
    };
    for (const auto& [taken, group] : texts) {
        for (const std::string& text : group) {
            InForce state;
            std::string why;
            EXPECT_EQ(parseInForce(text, state, why), taken) << text << ": " << why;
            EXPECT_EQ(why.empty(), taken) << text;
        }
    }
}

class InForceBoard : public ScratchBoard {
protected:
    Json::Value query(const char* inForce = "true") {
        Json::Value request = qfclient::netConfRequest("q");
        request["in_force"] = json(inForce);
        return netConf(request);
    }
    Json::Value inForce() { return query()["in_force"]; }
    // What is in force once `c` is applied (with the site's second name server for IPv6),
    // with the containers of `listed`.
    static Json::Value expected(const BoardConf& c, const BoardConf& listed) {
        Json::Value request = c.request("x");
        for (const char* member : {"cmd", "uuid"}) request.removeMember(member);
        request["nameservers"][1] = c.dns2();
        request["lxclist"] = listed.request("x")["lxclist"];
        return request;
    }
    // Applies `c` without a container list.
    int setWithoutList(const BoardConf& c) {
        Json::Value request = c.request("n");
        request.removeMember("lxclist");
        return set(request);
    }
};

// Each change of the board, a restart between them, leaves what is really in force: the
// configuration and its containers once everything succeeded, "unknown" while it changes
// and after a failure, nothing after a clear. The plain query never shows it.
TEST_F(InForceBoard, FollowsEveryChange) {
    EXPECT_EQ(inForce(), Json::Value());
    const BoardConf a;
    // While ifup runs, the state file already says that it is changing.
    put("fault.ifup", "cp " + path("var/lib/quillferry/in-force.json") + " " + path("seen"));
    ASSERT_EQ(set(a.request("a")), 0);
    InForce seen;
    std::string why;
    ASSERT_TRUE(parseInForce(contents("seen"), seen, why)) << why;
    EXPECT_EQ(seen.state, InForce::State::Unknown);
    EXPECT_EQ(seen.lxclist, Json::Value());  // this request rewrites the container files
    std::filesystem::remove(path("fault.ifup"));
    EXPECT_EQ(inForce(), expected(a, a));

    // Kept across a restart; a new placement and a request without a list keep the list.
    restart();
    EXPECT_EQ(inForce(), expected(a, a));
    BoardConf placed = a;
    placed.idc = "dc2";
    ASSERT_EQ(set(placed.request("p")), 0);
    EXPECT_EQ(inForce(), expected(placed, a));
    BoardConf b = BoardConf::at(1, true);
    ASSERT_EQ(setWithoutList(b), 0);
    EXPECT_EQ(inForce(), expected(b, a));

    // A failed apply leaves it unknown (its list too, when it gave one), a clear none; the
    // container files and so the list outlive the clear.
    put("fault.ifup", "exit 3\n");
    b.net = 2;
    ASSERT_EQ(set(b.request("f")), 3 << 8);
    EXPECT_EQ(inForce(), "unknown");
    std::filesystem::remove(path("fault.ifup"));
    ASSERT_EQ(set(b.request("g")), 0);
    ASSERT_EQ(set(qfclient::clearRequest("c", true)), 0);
    EXPECT_EQ(inForce(), Json::Value());
    const BoardConf listed = b;
    b.net = 3;
    ASSERT_EQ(setWithoutList(b), 0);
    EXPECT_EQ(inForce(), expected(b, listed));

    // A planted file is no state: unknown, logged, and replaced by the next change.
    put("var/lib/quillferry/in-force.json", R"({"in_force":"yes","lxclist":null})");
    captureLog();
    EXPECT_EQ(inForce(), "unknown");
    EXPECT_HAS(capturedLog(),
               "var/lib/quillferry/in-force.json: the configuration is neither "
               "null, unknown nor an object; what is in force is unknown\n");
    b.net = 4;
    ASSERT_EQ(set(b.request("i")), 0);
    EXPECT_EQ(inForce(), expected(b, b));

    // The plain query, and one that asks with anything but true, is what it always was.
    const Json::Value plain = netConf();
    for (const char* other : {"1", R"("true")", "false", "null", "[true]"}) {
        Json::Value asked = query(other);
        asked.removeMember("in_force");
        EXPECT_EQ(qfclient::compactJson(asked), qfclient::compactJson(plain)) << other;
        EXPECT_FALSE(query(other).isMember("live")) << other;
    }
    Json::Value both = query();
    EXPECT_TRUE(both["live"].isObject());
    for (const char* member : {"in_force", "live"}) both.removeMember(member);
    EXPECT_EQ(both, plain);
}

}  // namespace
