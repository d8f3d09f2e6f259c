// SPDX-License-Identifier: Apache-2.0
// The fleet command against console servers played on loopback ports: output, exit status.
#include "ctl/fleet.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <tuple>

#include "captured.h"
#include "expect_text.h"
#include "fake_console.h"
#include "inventory_text.h"
#include "scratch_dir.h"

namespace {

using qfclient::Outcome;

// The options of a command line, its words split at spaces.
ctl::Options options(const std::string& line) {
    std::istringstream in(line);
    const ctl::ParseOutcome p =
        ctl::parseCommandLine({std::istream_iterator<std::string>(in), {}}, nullptr);
    EXPECT_EQ(p.kind, ctl::ParseOutcome::Kind::Run) << line << ": " << p.error;
    return p.options;
}

// Each line of `text` as JSON.
std::vector<Json::Value> jsonLines(const std::string& text) {
    std::vector<Json::Value> values;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(Json::Reader().parse(line, values.emplace_back())) << line;
    return values;
}

// A board's reply to the request `line`: `members` before its uuid.
std::string replyTo(const std::string& line, const std::string& members) {
    return "{" + members + "\"uuid\":" + FakeConsole::uuidOf(line) + "}\n";
}

class CtlFleet : public ScratchDir {
protected:
    // Runs `args` on the boards of `inventory`, standard output /dev/full if `full`.
    Captured run(const std::string& args, const std::string& inventory, bool full = false) {
        return run(options("--inventory " + put("inventory.json", inventory) + " " + args), full);
    }
    // Runs `args` on `boards`, each with a console server playing its script where it has one.
    Captured runOn(const std::string& args, std::vector<InventoryEntry> boards,
                   const std::vector<FakeConsole::Script>& scripts) {
        std::vector<std::unique_ptr<FakeConsole>> consoles;
        for (std::size_t i = 0; i < scripts.size(); ++i) {
            if (scripts[i])
                boards[i].line = consoles.emplace_back(new FakeConsole(scripts[i]))->address();
        }
        return run(args, inventoryText(boards));
    }
    static Captured run(const ctl::Options& o, bool full = false) {
        return capture([&](std::FILE* out, std::FILE* err) { return ctl::runFleet(o, out, err); },
                       full);
    }
};

// Every board at once, each with its own deadline, each result written as soon as it is known.
TEST_F(CtlFleet, EveryBoardAtOnceEachWithItsOwnResult) {
    // The good board applies only a clear sent as IPv6, the family of its network.
    const auto clear = [](const std::string& line) {
        const bool v6 = line.find(R"("ipv6":{"address":"clear")") != std::string::npos;
        return replyTo(line, v6 ? R"("ret_val":0,)" : R"("ret_val":-1,)");
    };
    const auto start = std::chrono::steady_clock::now();
    const Captured c = runOn("--format jsonl --timeout 1 clear",
                             {{"hung", ""},
                              {"absent", "/nonexistent/tty"},
                              {"good", "", networkMember("fd00::8/64", "fd00::1")}},
                             {FakeConsole::awaitClose, nullptr, FakeConsole::replying(clear)});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(c.status, 2) << c.err;
    EXPECT_HAS(c.err, "3 boards: 1 ok, 0 failed, 1 no reply, 1 unavailable, 0 busy");
    // As each finished: the board that is not there, the one that answers, the hung one.
    const std::vector<Json::Value> results = jsonLines(c.out);
    std::string seen;
    for (const Json::Value& r : results) {
        seen += r["name"].asString() + " " + r["outcome"].asString() + " " +
                r["exit_status"].asString() + ", ";
    }
    ASSERT_EQ(seen, "absent unavailable 69, good ok 0, hung timeout 2, ") << c.out;
    EXPECT_EQ(results[1]["reply"]["ret_val"], 0);
    EXPECT_LT(results[1]["elapsed_seconds"].asDouble(), 0.5);
    EXPECT_GE(results[2]["elapsed_seconds"].asDouble(), 1.0);
}

// A board that cannot be given its command stops the whole fleet before anything is sent;
// whatever the inventory's path and names hold reaches the terminal escaped.
TEST_F(CtlFleet, ABadEntryStopsTheFleet) {
    Captured c = run("set-net", R"({"boards": [{"name": "a", "line": "/nonexistent/tty"}]})");
    EXPECT_EQ(c.status, 64);
    EXPECT_HAS(c.err, "line 1: board \"a\": no \"network\" to apply");
    EXPECT_HAS(c.err, "nothing was sent to any board");
    ctl::Options o = options("--inventory i set-net --board b\x1b");
    o.inventory = put("inv\x1b[2J\n.json", R"({"boards": [{"name": "a\u001b", "line": "/d"}]})");
    c = run(o);
    EXPECT_EQ(c.status, 64);
    EXPECT_HAS(c.err, "inv\\x1b[2J\\n.json: line 1: board \"a\\x1b\": a name is");
    EXPECT_HAS(c.err, "no board \"b\\x1b\"");
    EXPECT_EQ(c.err.find_first_of("\x1b\r"), std::string::npos) << c.err;
}

// Output that cannot be written fails the command with 74; the summary still tells the results.
TEST_F(CtlFleet, OutputThatCannotBeWrittenFailsTheCommand) {
    const std::string absent = R"({"boards": [{"name": "a", "line": "/nonexistent/tty"}]})";
    for (const std::string format : {"table", "jsonl", "prometheus"}) {
        const Captured c = run("--format " + format + " probe", absent, true);
        EXPECT_EQ(c.status, 74) << c.err;
        EXPECT_HAS(c.err, "cannot write the output: No space left on device");
        EXPECT_HAS(c.err, "1 board: 0 ok, 0 failed, 0 no reply, 1 unavailable, 0 busy");
    }
    EXPECT_EQ(run("--output " + path("missing/metrics.prom") + " probe", absent).status, 74);
}

// A failed command leaves no earlier output as if it were this run's (a FIFO is left alone and
// said), whether it fails before its results or cannot write them (files of 100 bytes at most).
TEST_F(CtlFleet, AFailedCommandLeavesNoStaleOutput) {
    const std::string old = "quillferry_board_up{board=\"a\"} 1\n";
    const std::string output = put("metrics.prom", old);
    const std::string args = "--format prometheus --output " + output + " stat";
    const std::string bad = R"({"boards": [{"name": "a", "line": 7}]})";
    EXPECT_EQ(run(args, bad).status, 64);
    EXPECT_FALSE(std::filesystem::exists(output));
    ASSERT_EQ(::mkfifo(output.c_str(), 0600), 0);
    const Captured c = run(args, bad);
    EXPECT_EQ(c.status, 64) << c.err;
    EXPECT_HAS(c.err, "left " + output + " alone: not a regular file");
    EXPECT_TRUE(std::filesystem::is_fifo(output));

    std::filesystem::remove(output);
    put("metrics.prom", old);
    const ctl::Options o = options(
        "--inventory " +
        put("inventory.json", R"({"boards": [{"name": "a", "line": "/nonexistent/tty"}]})") + " " +
        args);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit small{100, 100};
        std::FILE* out = std::fopen("/dev/null", "w");
        _exit(::setrlimit(RLIMIT_FSIZE, &small) == 0 && out != nullptr ? ctl::runFleet(o, out, out)
                                                                       : 98);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 74) << status;
    EXPECT_FALSE(std::filesystem::exists(output));
}

// The named boards as file_sd_configs targets, written through a link the user made; a bad
// inventory leaves no list; another user's link (it could aim at any file of ours) fails with 74.
TEST_F(CtlFleet, OutputFollowsOnlyLinksTheUserOrRootMade) {
    const std::string link = path("targets.json");
    const std::string args = "--format prometheus-sd --board b --output " + link;
    const std::string inventory = inventoryText(
        {{"a", "/nonexistent/a"},
         {"b", "tcp:127.0.0.1:1", networkMember("10.0.0.8/24", "10.0.0.1", "dc\\\"1")}});
    put("kept.json", "old\n");
    ASSERT_EQ(::symlink("kept.json", link.c_str()), 0);
    Captured c = run(args, inventory);
    EXPECT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(c.err, "");
    EXPECT_EQ(contents("kept.json"),
              "[\n{\"labels\":{\"idc\":\"dc\\\"1\",\"pod\":\"3\"},\"targets\":[\"b\"]}\n]\n");
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(run(args, R"({"boards": [{"name": "a b", "line": "x"}]})").status, 64);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));

    if (::geteuid() != 0) GTEST_SKIP() << "a link of another user needs root to be made";
    ASSERT_EQ(::symlink("kept.json", link.c_str()), 0);
    ASSERT_EQ(::lchown(link.c_str(), 65534, 65534), 0);
    put("kept.json", "old\n");
    c = run(args, inventory);
    EXPECT_EQ(c.status, 74) << c.err;
    EXPECT_HAS(c.err, "symlink targets.json is owned by uid 65534");
    EXPECT_EQ(contents("kept.json"), "old\n");
}

// Hostile boards beside one that answers: each spoils its own result only, in every output,
// and reaches the table escaped, a row to a line.
TEST_F(CtlFleet, OneBoardsBytesSpoilOnlyItsOwnResult) {
    const std::function<std::string(const std::string&)> replies[] = {
        [](const std::string& line) {
            return replyTo(line, R"("ret_val":0,"ipv4":{"address":"10.0.0.8","netmask":24,)"
                                 R"("gateway":"10.0.0.1"},"mac":"02:00:00:00:00:01",)");
        },
        [](const std::string& line) {
            return R"({"ret_val":0,"uuid":)" + FakeConsole::uuidOf(line) +
                   ",\"x\":" + std::string(2048, '[') + "\n";
        },
        [](const std::string& line) {
            return replyTo(line, R"("ret_val":0,"ipv4":"10.0.0.8","ipv6":5,"mac":["\u001b[2J"],)");
        }};
    // The table's row of each board.
    const std::string rows =
        "good +ok (.*)s  ipv4=10.0.0.8/24 gateway=10.0.0.1 mac=02:00:00:00:00:01 "
        "in_force=cannot-tell\n"
        "deep +malformed (.*)s  reply is nested deeper than 64 levels\n"
        R"(shapeless +ok (.*)s  ipv6=-/- gateway=- mac=\["\\\\u001b\[2J"\] in_force=cannot-tell)"
        "\n"
        R"(forged +unavailable (.*)s  cannot open /nonexistent/\\x1b\[2J\\nforged +ok: .*)";
    const std::string jsonl = "--timeout 3 --format jsonl --output " + path("out.jsonl");
    for (const std::string& args : {std::string("--timeout 3 --format table"), jsonl}) {
        const Captured c =
            runOn(args + " netconf",
                  {{"good", ""},
                   {"deep", ""},
                   {"shapeless", ""},
                   {"forged", "/nonexistent/\\u001b[2J\\nforged                     ok"}},
                  {FakeConsole::replying(replies[0]), FakeConsole::replying(replies[1]),
                   FakeConsole::replying(replies[2])});
        EXPECT_EQ(c.status, 2) << c.err;
        EXPECT_HAS(c.err, "4 boards: 2 ok, 1 failed, 0 no reply, 1 unavailable, 0 busy");
        if (args == jsonl) {
            EXPECT_EQ(jsonLines(contents("out.jsonl")).size(), 4u);
            continue;
        }
        // A heading, then a row for each board in the inventory's order, printable text only.
        EXPECT_TRUE(std::regex_match(c.out, std::regex(".*\n" + rows + "\n"))) << c.out;
        EXPECT_FALSE(std::regex_search(c.out, std::regex("[^ -~\n]"))) << c.out;
    }
}

// Lines that fail while opening, one after another: each started from the loop, no recursion.
TEST_F(CtlFleet, ThousandsOfLinesThatFailWhileOpening) {
    std::vector<InventoryEntry> boards(30000);
    for (int i = 0; i < 30000; ++i) boards[i] = {"b" + std::to_string(i), "/nonexistent/tty"};
    const Captured c = run("--jobs 1 --format prometheus probe", inventoryText(boards));
    EXPECT_EQ(c.status, 69) << c.err;
    EXPECT_HAS(c.err.substr(0, 500), "30000 boards: 0 ok, 0 failed, 0 no reply, 30000 unavailable");
}

// A board that reports `inForce` (empty: an earlier version) and answers an apply with
// `applied`; the lines it received go into `received`.
FakeConsole::Script reportingBoard(const std::string& inForce, const std::string& applied,
                                   std::string& received) {
    return [=, &received](int fd) {
        for (std::string line; !(line = FakeConsole::readLine(fd)).empty();) {
            received += line;
            const std::string report = inForce.empty() ? "" : "\"in_force\":" + inForce + ",";
            FakeConsole::write(
                fd, replyTo(line, line.find("get_net_conf") != std::string::npos
                                      ? R"("cmd":"get_net_conf",)" + report + R"("ret_val":0,)"
                                      : R"("cmd":"set_net_conf",)" + applied + ","));
        }
    };
}

// set-net applies only where a board runs other than its entry; --check changes nothing and
// exits 3 on drift (a board too old to tell is neither); --force applies unasked.
TEST_F(CtlFleet, SetNetAppliesOnlyWhereTheBoardDiffers) {
    const std::string same =
        R"({"ipv4":{"address":"10.0.0.8","gateway":"10.0.0.1","netmask":24},"location":{"idc":"dc1","pod_id":3,"soc_ip":"10.0.0.8"},"lxclist":null,"nameservers":["10.0.0.53"]})";
    // Each board's report and its answer to an apply.
    const std::map<std::string, std::pair<std::string, std::string>> boards = {
        {"same", {same, R"("ret_val":0)"}},
        {"drifted",
         {std::regex_replace(same, std::regex("10.0.0.1\""), "10.0.0.9\""),
          R"("gateway_check":"answered","ret_val":0)"}},
        {"old", {"", R"("ret_val":0)"}},
        {"silent", {"null", R"("gateway_check":"silent","ret_val":-5)"}},
    };
    std::map<std::string, std::string> received;
    // Runs set-net with `args` on the boards named; what each received is in `received`.
    const auto fleet = [&](const std::string& args, const std::vector<std::string>& names) {
        std::vector<InventoryEntry> entries;
        std::vector<FakeConsole::Script> scripts;
        received.clear();
        for (const std::string& name : names) {
            const auto& [inForce, applied] = boards.at(name);
            scripts.push_back(reportingBoard(inForce, applied, received[name]));
            entries.push_back({name, "", networkMember("10.0.0.8/24", "10.0.0.1", "dc 1")});
        }
        return runOn("--timeout 2 " + args + " set-net", entries, scripts);
    };
    const std::vector<std::string> all = {"same", "drifted", "old", "silent"};

    Captured c = fleet("--check --diff", all);
    EXPECT_EQ(c.status, ctl::kExitDrift) << c.err;
    for (const auto& [name, lines] : received) EXPECT_LACKS(lines, "set_net_conf") << name;
    EXPECT_HAS(c.err,
               "4 boards: 4 ok, 0 failed, 0 no reply, 0 unavailable, 0 busy; 2 would "
               "change, 1 in sync, 1 cannot tell");
    for (const char* row : {"same                     ok", " in sync\n",
                            "would change: gateway\n    gateway: 10.0.0.9 -> 10.0.0.1\n",
                            "cannot tell: the board does not report what it runs",
                            "    address: nothing in force -> 10.0.0.8/24\n"})
        EXPECT_HAS(c.out, row);
    // Without drift, a board that cannot tell is no success, and the rest is as before.
    EXPECT_EQ(fleet("--check", {"same", "old"}).status, ctl::kExitFailed);
    EXPECT_EQ(fleet("--check", {"same"}).status, ctl::kExitOk);

    c = fleet("--format jsonl", all);
    EXPECT_EQ(c.status, ctl::kExitFailed) << c.err;
    EXPECT_HAS(c.err, "; 1 changed, 2 unchanged, 1 not known");
    EXPECT_LACKS(received["same"], "set_net_conf");
    std::map<std::string, Json::Value> lines;
    for (const Json::Value& v : jsonLines(c.out)) lines[v["name"].asString()] = v;
    const std::map<std::string, const char*> changed = {
        {"same", "false"}, {"drifted", "true"}, {"old", "null"}, {"silent", "false"}};
    for (const auto& [name, value] : changed) {
        EXPECT_EQ(qfclient::compactJson(lines[name]["changed"]), value) << name;
        EXPECT_EQ(lines[name]["network"]["idc"], "dc1") << name;
    }
    EXPECT_EQ(lines["drifted"]["differences"][0]["value"], "gateway");
    EXPECT_EQ(lines["drifted"]["in_force"]["gateway"], "10.0.0.9");
    EXPECT_EQ(lines["drifted"]["reply"]["gateway_check"], "answered");
    EXPECT_EQ(lines["silent"]["in_force"], Json::Value());
    EXPECT_EQ(lines["silent"]["outcome"], "failed");
    EXPECT_FALSE(lines["old"].isMember("in_force"));
    EXPECT_TRUE(lines["old"]["differences"].isNull());

    // --force applies to every board unasked, as before there was a question.
    c = fleet("--force", {"same"});
    EXPECT_EQ(c.status, ctl::kExitOk) << c.err;
    EXPECT_LACKS(received["same"], "get_net_conf");
    EXPECT_HAS(received["same"], "set_net_conf");
    EXPECT_HAS(c.err, "; 0 changed, 0 unchanged, 1 not known");
}

qfclient::Result result(Outcome outcome, const std::string& reply = "null") {
    qfclient::Result r;
    r.outcome = outcome;
    EXPECT_TRUE(Json::Reader().parse(reply, r.root)) << reply;
    return r;
}

// The fleet's exit status: all ok 0, failures only 1, else 2; all unavailable 69, all busy 75.
TEST(CtlFleetOutput, StatusOfTheFleet) {
    const ctl::InventoryBoard a;
    const std::tuple<Outcome, Outcome, int> cases[] = {
        {Outcome::Ok, Outcome::Ok, 0},
        {Outcome::Ok, Outcome::Failed, 1},
        {Outcome::Failed, Outcome::Dropped, 2},
        {Outcome::Busy, Outcome::Unavailable, 2},
        {Outcome::Unavailable, Outcome::Unavailable, 69},
        {Outcome::Busy, Outcome::Busy, 75},
    };
    for (const auto& [first, second, status] : cases) {
        EXPECT_EQ(ctl::fleetStatus({ctl::digest(a, result(first), ctl::Subcommand::Stat),
                                    ctl::digest(a, result(second), ctl::Subcommand::Stat)}),
                  status);
    }
}

// Every reply value is read by its type: one of another type is shown as it is (escaped, cut
// short), never the end of the table; a number that is not one gives no sample.
TEST(CtlFleetOutput, RepliesOfAnyShapeGiveTheirRow) {
    using S = ctl::Subcommand;
    const std::string longText(100, 'x');
    const struct {
        S subcommand;
        std::string reply;
        std::string details;
    } cases[] = {
        {S::NetConf,
         R"({"ipv4":{"address":"10.0.0.8","netmask":24,"gateway":"10.0.0.1"},"mac":"m"})",
         "ipv4=10.0.0.8/24 gateway=10.0.0.1 mac=m in_force=cannot-tell"},
        {S::NetConf, R"({"in_force":{"ipv6":{"address":"fd00::8","netmask":64}},"mac":"m"})",
         "ipv4=-/- gateway=- mac=m in_force=fd00::8/64"},
        {S::NetConf, R"({"in_force":null})", "ipv4=-/- gateway=- mac=- in_force=none"},
        {S::NetConf, R"({"in_force":"unknown"})", "ipv4=-/- gateway=- mac=- in_force=unknown"},
        {S::NetConf, R"({"in_force":{"ipv4":[]}})",
         "ipv4=-/- gateway=- mac=- in_force={\"ipv4\":[]}"},
        {S::NetConf, R"({"ipv4":"10.0.0.8","mac":7})",
         "ipv4=-/- gateway=- mac=7 in_force=cannot-tell"},
        {S::NetConf, R"({"ipv6":[1,{"address":2}],"ipv4":{}})",
         "ipv6=-/- gateway=- mac=- in_force=cannot-tell"},
        {S::NetConf, R"({"ipv6":null,"ipv4":5})", "ipv4=-/- gateway=- mac=- in_force=cannot-tell"},
        {S::Hw, "{\"cpu\":{\"a\":[1]},\"ram\":\"\x1b[2J\n\",\"rom\":true}",
         R"(cpu={"a":[1]} ram=\x1b[2J\n rom=true)"},
        {S::Hw, R"({"cpu":")" + longText + R"("})",
         "cpu=" + longText.substr(0, 64) + "... ram=- rom=-"},
        {S::Stat, R"({"cpu_temp":"hot","cpu_pwr_lmt":[],"netconf":{}})",
         "cpu_temp=hot cpu_pwr_lmt=[] netconf={}"},
        {S::Clear, R"({"ret_val":[0]})", "ret_val=[0]"},
    };
    const ctl::InventoryBoard a;
    for (const auto& c : cases) {
        const ctl::BoardResult d = ctl::digest(a, result(Outcome::Ok, c.reply), c.subcommand);
        EXPECT_EQ(d.details, c.details) << c.reply;
        EXPECT_FALSE(d.stat.temperatureCelsius || d.stat.powerLimited || d.stat.networkConfigured)
            << c.reply;
    }
}

}  // namespace
