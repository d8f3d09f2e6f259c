// SPDX-License-Identifier: Apache-2.0
// The fleet command against console servers the test plays on loopback ports, its output
// and its exit statuses.
#include "ctl/fleet.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <sstream>

#include "captured.h"
#include "fake_console.h"
#include "inventory_text.h"
#include "scratch_dir.h"

namespace {

using qfclient::Outcome;
using std::chrono::milliseconds;

class CtlFleet : public ScratchDir {
protected:
    // Runs `options` on the boards of `inventory`, with standard output /dev/full if `full`.
    Captured run(ctl::Options options, const std::string& inventory, bool full = false) {
        options.inventory = put("inventory.json", inventory.c_str());
        return capture(
            [&](std::FILE* out, std::FILE* err) { return ctl::runFleet(options, out, err); }, full);
    }
};

// Every board at once, each with its own deadline: the board that answers is not held up
// by the one that hangs, and each result is written as soon as it is known.
TEST_F(CtlFleet, EveryBoardAtOnceEachWithItsOwnResult) {
    // Applies only a clear sent as IPv6, the family of its network.
    FakeConsole good(FakeConsole::replying([](const std::string& line) {
        const bool v6 = line.find(R"("ipv6":{"address":"clear")") != std::string::npos;
        return std::string("{\"ret_val\":") + (v6 ? "0" : "-1") +
               ",\"uuid\":" + FakeConsole::uuidOf(line) + "}\n";
    }));
    FakeConsole hung([](int fd) { FakeConsole::awaitClose(fd); });
    ctl::Options options;
    options.subcommand = ctl::Subcommand::Clear;
    options.format = ctl::Format::Jsonl;
    options.timeoutMs = 1000;
    const std::string inventory =
        inventoryText({{"hung", hung.address()},
                       {"absent", "/nonexistent/tty"},
                       {"good", good.address(), networkMember("fd00::8/64", "fd00::1")}});
    const auto start = std::chrono::steady_clock::now();
    const Captured c = run(options, inventory);
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(1500));
    EXPECT_EQ(c.status, 2) << c.err;
    EXPECT_NE(c.err.find("3 boards: 1 ok, 0 failed, 1 no reply, 1 unavailable, 0 busy"),
              std::string::npos)
        << c.err;
    // As each finished: the board that is not there, the one that answers, the hung one.
    std::istringstream lines(c.out);
    std::vector<Json::Value> results;
    std::string seen;
    for (std::string line; std::getline(lines, line);) {
        ASSERT_TRUE(Json::Reader().parse(line, results.emplace_back())) << line;
        seen += results.back()["name"].asString() + " " + results.back()["outcome"].asString() +
                " " + results.back()["exit_status"].asString() + ", ";
    }
    ASSERT_EQ(seen, "absent unavailable 69, good ok 0, hung timeout 2, ") << c.out;
    EXPECT_EQ(results[1]["reply"]["ret_val"], 0);
    EXPECT_LT(results[1]["elapsed_seconds"].asDouble(), 0.5);
    EXPECT_GE(results[2]["elapsed_seconds"].asDouble(), 1.0);
}

// A board that cannot be given its command stops the whole fleet before anything is sent.
TEST_F(CtlFleet, ABadEntryStopsTheFleet) {
    ctl::Options options;
    options.subcommand = ctl::Subcommand::SetNet;
    const Captured c = run(options, R"({"boards": [{"name": "a", "line": "/nonexistent/tty"}]})");
    EXPECT_EQ(c.status, 64);
    EXPECT_NE(c.err.find("line 1: board \"a\": no \"network\" to apply"), std::string::npos);
    EXPECT_NE(c.err.find("nothing was sent to any board"), std::string::npos) << c.err;

    // Whatever the inventory's path and names hold reaches the terminal escaped.
    options.inventory =
        put("inv\x1b[2J\n.json", R"({"boards": [{"name": "a\u001b", "line": "/d"}]})");
    options.boards = {"b\x1b"};
    const Captured e =
        capture([&](std::FILE* out, std::FILE* err) { return ctl::runFleet(options, out, err); });
    EXPECT_EQ(e.status, 64);
    EXPECT_NE(e.err.find("inv\\x1b[2J\\n.json: line 1: board \"a\\x1b\": a name is"),
              std::string::npos)
        << e.err;
    EXPECT_NE(e.err.find("no board \"b\\x1b\""), std::string::npos) << e.err;
    EXPECT_EQ(e.err.find_first_of("\x1b\r"), std::string::npos) << e.err;
}

// Output that cannot be written fails the command with a status of its own, whatever the
// boards answered; the summary still tells the results.
TEST_F(CtlFleet, OutputThatCannotBeWrittenFailsTheCommand) {
    const std::string absent = R"({"boards": [{"name": "a", "line": "/nonexistent/tty"}]})";
    const char* summary = "1 board: 0 ok, 0 failed, 0 no reply, 1 unavailable, 0 busy";
    ctl::Options options;
    for (const ctl::Format format :
         {ctl::Format::Table, ctl::Format::Jsonl, ctl::Format::Prometheus}) {
        options.format = format;
        const Captured c = run(options, absent, true);
        EXPECT_EQ(c.status, 74) << c.err;
        EXPECT_NE(c.err.find("cannot write the output: No space left on device"), std::string::npos)
            << c.err;
        EXPECT_NE(c.err.find(summary), std::string::npos) << c.err;
    }
    options.output = path("missing/metrics.prom");
    EXPECT_EQ(run(options, absent).status, 74);
}

// A board's reply to the request `line`: `members` before its uuid.
std::string replyTo(const std::string& line, const std::string& members) {
    return "{" + members + "\"uuid\":" + FakeConsole::uuidOf(line) + "}\n";
}

// Boards and console servers that attack the client, beside boards that answer: each
// spoils its own result and nothing else, in every output. Text of the inventory or a
// board reaches the table escaped, a row to a line.
TEST_F(CtlFleet, OneBoardsBytesSpoilOnlyItsOwnResult) {
    const auto good = [](const std::string& line) {
        return replyTo(line, R"("ret_val":0,"ipv4":{"address":"10.0.0.8","netmask":24,)"
                             R"("gateway":"10.0.0.1"},"mac":"02:00:00:00:00:01",)");
    };
    const auto deep = [](const std::string& line) {
        return R"({"ret_val":0,"uuid":)" + FakeConsole::uuidOf(line) +
               ",\"x\":" + std::string(2048, '[') + "\n";
    };
    const auto shapeless = [](const std::string& line) {
        return replyTo(line, R"("ret_val":0,"ipv4":"10.0.0.8","ipv6":5,"mac":["\u001b[2J"],)");
    };
    const struct {
        const char* name;
        const char* scheme;  // null: the line is `row`'s device
        std::function<FakeConsole::Script()> script;
        const char* row;  // what the table says after the name
    } boards[] = {
        {"good", "tcp", [&] { return FakeConsole::replying(good); },
         "ok (.*)s  ipv4=10.0.0.8/24 gateway=10.0.0.1 mac=02:00:00:00:00:01 "
         "in_force=cannot-tell"},
        {"deep", "tcp", [&] { return FakeConsole::replying(deep); },
         "malformed (.*)s  reply is nested deeper than 64 levels"},
        {"shapeless", "tcp", [&] { return FakeConsole::replying(shapeless); },
         R"(ok (.*)s  ipv6=-/- gateway=- mac=\["\\\\u001b\[2J"\] in_force=cannot-tell)"},
        {"forged", nullptr, nullptr,
         R"(unavailable (.*)s  cannot open /nonexistent/\\x1b\[2J\\nforged +ok: .*)"},
    };
    for (const ctl::Format format : {ctl::Format::Table, ctl::Format::Jsonl}) {
        std::vector<std::unique_ptr<FakeConsole>> consoles;
        std::vector<InventoryEntry> entries;
        for (const auto& b : boards) {
            entries.push_back(
                {b.name, b.scheme == nullptr
                             ? "/nonexistent/\\u001b[2J\\nforged                     ok"
                             : consoles.emplace_back(std::make_unique<FakeConsole>(b.script()))
                                   ->address(b.scheme)});
        }
        ctl::Options options;
        options.subcommand = ctl::Subcommand::NetConf;
        options.timeoutMs = 3000;
        options.format = format;
        if (format == ctl::Format::Jsonl) options.output = path("out.jsonl");
        const Captured c = run(options, inventoryText(entries));
        consoles.clear();
        EXPECT_EQ(c.status, 2) << c.err;
        EXPECT_NE(c.err.find("4 boards: 2 ok, 1 failed, 0 no reply, 1 unavailable, 0 busy"),
                  std::string::npos)
            << c.err;
        if (format == ctl::Format::Jsonl) {
            std::istringstream lines(contents("out.jsonl"));
            std::size_t count = 0;
            for (std::string line; std::getline(lines, line); ++count) {
                Json::Value result;
                ASSERT_TRUE(Json::Reader().parse(line, result)) << line;
            }
            EXPECT_EQ(count, std::size(boards));
            continue;
        }
        // A row for each board, in the inventory's order, and not a line more.
        std::istringstream rows(c.out);
        std::string row;
        std::getline(rows, row);
        for (const auto& b : boards) {
            ASSERT_TRUE(std::getline(rows, row)) << c.out;
            EXPECT_TRUE(std::regex_match(row, std::regex(std::string(b.name) + " +" + b.row)))
                << row;
            EXPECT_TRUE(std::none_of(row.begin(), row.end(), [](unsigned char ch) {
                return ch < 0x20 || ch >= 0x7f;
            })) << row;
        }
        EXPECT_FALSE(std::getline(rows, row)) << row;
    }
}

// Thousands of lines that fail while opening, one after another: each board is started
// from the loop, never from within the one before it.
TEST_F(CtlFleet, ThousandsOfLinesThatFailWhileOpening) {
    std::vector<InventoryEntry> boards(30000);
    for (int i = 0; i < 30000; ++i) boards[i] = {"b" + std::to_string(i), "/nonexistent/tty"};
    ctl::Options options;
    options.jobs = 1;
    options.format = ctl::Format::Prometheus;
    const Captured c = run(options, inventoryText(boards));
    EXPECT_EQ(c.status, 69) << c.err;
    EXPECT_NE(c.err.find("30000 boards: 0 ok, 0 failed, 0 no reply, 30000 unavailable"),
              std::string::npos)
        << c.err.substr(0, 500);
}

// A command that fails before it has results leaves no earlier output as if it were this
// run's: a regular file (or a link) there is removed, anything else left alone and said.
TEST_F(CtlFleet, AFailedCommandLeavesNoStaleOutput) {
    const std::string bad = R"({"boards": [{"name": "a", "line": 7}]})";
    ctl::Options options;
    options.format = ctl::Format::Prometheus;
    options.output = put("metrics.prom", "quillferry_board_up{board=\"a\"} 1\n");
    Captured c = run(options, bad);
    EXPECT_EQ(c.status, 64) << c.err;
    EXPECT_FALSE(std::filesystem::exists(options.output));
    ASSERT_EQ(::mkfifo(options.output.c_str(), 0600), 0);
    c = run(options, bad);
    EXPECT_EQ(c.status, 64) << c.err;
    EXPECT_NE(c.err.find("left " + options.output + " alone: not a regular file"),
              std::string::npos)
        << c.err;
    EXPECT_TRUE(std::filesystem::is_fifo(options.output));
}

// Output that cannot be replaced does not leave the old file as if it were this run's: it
// is removed too. The run is a child process whose files may not grow past 100 bytes.
TEST_F(CtlFleet, OutputThatCannotBeReplacedRemovesTheOldOne) {
    ctl::Options options;
    options.subcommand = ctl::Subcommand::Stat;
    options.format = ctl::Format::Prometheus;
    options.output = put("metrics.prom", "quillferry_board_up{board=\"a\"} 1\n");
    options.inventory =
        put("inventory.json", R"({"boards": [{"name": "a", "line": "/nonexistent/tty"}]})");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit small{100, 100};
        if (::setrlimit(RLIMIT_FSIZE, &small) != 0) _exit(99);
        std::FILE* out = std::fopen("/dev/null", "w");
        _exit(out != nullptr ? ctl::runFleet(options, out, out) : 98);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 74) << status;
    EXPECT_FALSE(std::filesystem::exists(options.output));
}

// The inventory's boards as scrape targets for file_sd_configs: written whole, the boards named
// only; a bad inventory leaves no earlier list in place.
TEST_F(CtlFleet, BoardsAsServiceDiscoveryTargets) {
    ctl::Options options;
    options.format = ctl::Format::PrometheusSd;
    options.output = path("targets.json");
    options.boards = {"b"};
    const std::string inventory = inventoryText(
        {{"a", "/nonexistent/a"},
         {"b", "tcp:127.0.0.1:1", networkMember("10.0.0.8/24", "10.0.0.1", "dc\\\"1")}});
    const Captured c = run(options, inventory);
    EXPECT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(c.err, "");
    EXPECT_EQ(contents("targets.json"),
              "[\n{\"labels\":{\"idc\":\"dc\\\"1\",\"pod\":\"3\"},\"targets\":[\"b\"]}\n]\n");
    EXPECT_EQ(run(options, R"({"boards": [{"name": "a b", "line": "x"}]})").status, 64);
    EXPECT_FALSE(std::filesystem::exists(options.output));
}

// --output is replaced through the one atomic writer: a link there is followed when the user
// (or root) made it, so the file it names gets the output and the link stays; a link that
// another user made is not followed (it could send the output over any file of the user's),
// the run fails with 74 and the file it names is untouched.
TEST_F(CtlFleet, OutputFollowsOnlyLinksTheUserOrRootMade) {
    const std::string inventory = R"({"boards": [{"name": "a", "line": "/nonexistent/a"}]})";
    const std::string targets = "[\n{\"labels\":{},\"targets\":[\"a\"]}\n]\n";
    ctl::Options options;
    options.format = ctl::Format::PrometheusSd;
    options.output = path("link.json");
    put("kept.json", "old\n");
    ASSERT_EQ(::symlink("kept.json", options.output.c_str()), 0);
    Captured c = run(options, inventory);
    EXPECT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(contents("kept.json"), targets);
    EXPECT_TRUE(std::filesystem::is_symlink(options.output));

    if (::geteuid() != 0) GTEST_SKIP() << "a link of another user needs root to be made";
    put("kept.json", "old\n");
    ASSERT_EQ(::lchown(options.output.c_str(), 65534, 65534), 0);
    c = run(options, inventory);
    EXPECT_EQ(c.status, 74) << c.err;
    EXPECT_NE(c.err.find("symlink link.json is owned by uid 65534"), std::string::npos) << c.err;
    EXPECT_EQ(contents("kept.json"), "old\n");
}

// The fleet's exit status: 0 when every board answered ok, 1 when any answered a failure
// only, else 2; all unavailable 69, all busy 75.
TEST(CtlFleetOutput, StatusOfTheFleet) {
    ctl::InventoryBoard a;
    a.name = "a";
    const std::pair<std::pair<Outcome, Outcome>, int> cases[] = {
        {{Outcome::Ok, Outcome::Ok}, 0},
        {{Outcome::Ok, Outcome::Failed}, 1},
        {{Outcome::Failed, Outcome::Dropped}, 2},
        {{Outcome::Busy, Outcome::Unavailable}, 2},
        {{Outcome::Unavailable, Outcome::Unavailable}, 69},
        {{Outcome::Busy, Outcome::Busy}, 75},
    };
    for (const auto& [outcomes, status] : cases) {
        std::vector<ctl::BoardResult> results;
        for (const Outcome o : {outcomes.first, outcomes.second}) {
            qfclient::Result r;
            r.outcome = o;
            results.push_back(ctl::digest(a, r, ctl::Subcommand::Stat));
        }
        EXPECT_EQ(ctl::fleetStatus(results), status);
    }
}

// Every reply value is read by its type, whatever the reply's shape: a member of another
// type than the board sends is shown as it is (escaped, cut short), never the end of the
// table; a number that is not one gives no sample.
TEST(CtlFleetOutput, RepliesOfAnyShapeGiveTheirRow) {
    ctl::InventoryBoard a;
    a.name = "a";
    const std::string longText(100, 'x');
    const struct {
        ctl::Subcommand subcommand;
        std::string reply;
        const char* details;
    } cases[] = {
        {ctl::Subcommand::NetConf,
         R"({"ret_val":0,"ipv4":{"address":"10.0.0.8","netmask":24,"gateway":"10.0.0.1"},"mac":"m"})",
         "ipv4=10.0.0.8/24 gateway=10.0.0.1 mac=m in_force=cannot-tell"},
        {ctl::Subcommand::NetConf,
         R"({"ret_val":0,"in_force":{"ipv6":{"address":"fd00::8","netmask":64}},"mac":"m"})",
         "ipv4=-/- gateway=- mac=m in_force=fd00::8/64"},
        {ctl::Subcommand::NetConf, R"({"ret_val":0,"in_force":null})",
         "ipv4=-/- gateway=- mac=- in_force=none"},
        {ctl::Subcommand::NetConf, R"({"ret_val":0,"in_force":"unknown"})",
         "ipv4=-/- gateway=- mac=- in_force=unknown"},
        {ctl::Subcommand::NetConf, R"({"ret_val":0,"in_force":{"ipv4":[]}})",
         "ipv4=-/- gateway=- mac=- in_force={\"ipv4\":[]}"},
        {ctl::Subcommand::NetConf, R"({"ret_val":0,"ipv4":"10.0.0.8","mac":7})",
         "ipv4=-/- gateway=- mac=7 in_force=cannot-tell"},
        {ctl::Subcommand::NetConf, R"({"ret_val":0,"ipv6":[1,{"address":2}],"ipv4":{}})",
         "ipv6=-/- gateway=- mac=- in_force=cannot-tell"},
        {ctl::Subcommand::NetConf, R"({"ret_val":0,"ipv6":null,"ipv4":5})",
         "ipv4=-/- gateway=- mac=- in_force=cannot-tell"},
        {ctl::Subcommand::Hw, R"({"ret_val":0,"cpu":{"a":[1]},"ram":"[2J
","rom":true})",
         R"(cpu={"a":[1]} ram=\x1b[2J\n rom=true)"},
        {ctl::Subcommand::Hw, R"({"ret_val":0,"cpu":")" + longText + R"("})",
         "cpu=xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx... ram=- rom=-"},
        {ctl::Subcommand::Stat, R"({"ret_val":0,"cpu_temp":"hot","cpu_pwr_lmt":[],"netconf":{}})",
         "cpu_temp=hot cpu_pwr_lmt=[] netconf={}"},
        {ctl::Subcommand::Clear, R"({"ret_val":[0]})", "ret_val=[0]"},
    };
    for (const auto& c : cases) {
        qfclient::Result r;
        r.outcome = Outcome::Ok;
        ASSERT_TRUE(Json::Reader().parse(c.reply, r.root)) << c.reply;
        const ctl::BoardResult d = ctl::digest(a, r, c.subcommand);
        EXPECT_EQ(d.details, c.details) << c.reply;
        EXPECT_FALSE(d.stat.temperatureCelsius || d.stat.powerLimited || d.stat.networkConfigured)
            << c.reply;
    }
}

// A board that reports `inForce` (empty: nothing of it, as an earlier version) and answers
// an apply with `applied` (its members before the uuid); every line it received is put into
// `received`, which the test reads once the console is gone.
FakeConsole::Script reportingBoard(const std::string& inForce, const std::string& applied,
                                   std::string& received) {
    return [=, &received](int fd) {
        for (std::string line; !(line = FakeConsole::readLine(fd)).empty();) {
            received += line;
            const bool query = line.find("get_net_conf") != std::string::npos;
            FakeConsole::write(
                fd,
                replyTo(line, query ? R"("cmd":"get_net_conf",)" +
                                          (inForce.empty() ? "" : "\"in_force\":" + inForce + ",") +
                                          R"("ret_val":0,)"
                                    : std::string(R"("cmd":"set_net_conf",)") + applied + ","));
        }
    };
}

// set-net asks each board what it runs and applies only where that differs from its entry;
// --check sends nothing that changes a board and tells drift by its exit status (3), and a
// board too old to tell is neither in sync nor drifted.
TEST_F(CtlFleet, SetNetAppliesOnlyWhereTheBoardDiffers) {
    const std::string network = networkMember("10.0.0.8/24", "10.0.0.1", "dc 1");
    const std::string same =
        R"({"ipv4":{"address":"10.0.0.8","gateway":"10.0.0.1","netmask":24},"location":{"idc":"dc1","pod_id":3,"soc_ip":"10.0.0.8"},"lxclist":null,"nameservers":["10.0.0.53"]})";
    std::string other = same;
    other.replace(other.find("10.0.0.1\""), 9, "10.0.0.9\"");
    struct Board {
        const char* name;
        std::string inForce;
        const char* applied;
    };
    const Board boards[] = {
        {"same", same, R"("ret_val":0)"},
        {"drifted", other, R"("gateway_check":"answered","ret_val":0)"},
        {"old", "", R"("ret_val":0)"},
        {"silent", "null", R"("gateway_check":"silent","ret_val":-5)"},
    };
    // Runs `options` on the boards named; what each received, by name.
    const auto fleet = [&](ctl::Options options, std::vector<const char*> names,
                           std::map<std::string, std::string>& received) {
        std::vector<std::unique_ptr<FakeConsole>> consoles;
        std::vector<InventoryEntry> entries;
        for (const Board& b : boards) {
            if (std::find_if(names.begin(), names.end(), [&](const char* n) {
                    return std::string(n) == b.name;
                }) == names.end())
                continue;
            consoles.push_back(std::make_unique<FakeConsole>(
                reportingBoard(b.inForce, b.applied, received[b.name])));
            entries.push_back({b.name, consoles.back()->address(), network});
        }
        options.subcommand = ctl::Subcommand::SetNet;
        options.timeoutMs = 2000;
        Captured c = run(options, inventoryText(entries));
        consoles.clear();  // every script has ended
        return c;
    };
    const std::vector<const char*> all = {"same", "drifted", "old", "silent"};

    ctl::Options check;
    check.check = true;
    check.diff = true;
    std::map<std::string, std::string> received;
    Captured c = fleet(check, all, received);
    EXPECT_EQ(c.status, ctl::kExitDrift) << c.err;
    for (const auto& [name, lines] : received)
        EXPECT_EQ(lines.find("set_net_conf"), std::string::npos) << name << ": " << lines;
    EXPECT_NE(c.err.find("4 boards: 4 ok, 0 failed, 0 no reply, 0 unavailable, 0 busy; 2 would "
                         "change, 1 in sync, 1 cannot tell"),
              std::string::npos)
        << c.err;
    for (const char* row : {"same                     ok", " in sync\n",
                            "would change: gateway\n    gateway: 10.0.0.9 -> 10.0.0.1\n",
                            "cannot tell: the board does not report what it runs",
                            "    address: nothing in force -> 10.0.0.8/24\n"})
        EXPECT_NE(c.out.find(row), std::string::npos) << row << "\n" << c.out;
    // Without drift, a board that cannot tell is no success, and the rest is as before.
    EXPECT_EQ(fleet(check, {"same", "old"}, received).status, ctl::kExitFailed);
    EXPECT_EQ(fleet(check, {"same"}, received).status, ctl::kExitOk);

    ctl::Options apply;
    apply.format = ctl::Format::Jsonl;
    received.clear();
    c = fleet(apply, all, received);
    EXPECT_EQ(c.status, ctl::kExitFailed) << c.err;
    EXPECT_NE(c.err.find("; 1 changed, 2 unchanged, 1 not known"), std::string::npos) << c.err;
    EXPECT_EQ(received["same"].find("set_net_conf"), std::string::npos) << received["same"];
    std::map<std::string, Json::Value> lines;
    std::istringstream stream(c.out);
    for (std::string line; std::getline(stream, line);) {
        Json::Value v;
        ASSERT_TRUE(Json::Reader().parse(line, v)) << line;
        lines[v["name"].asString()] = v;
    }
    const std::pair<const char*, const char*> changed[] = {
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
    ctl::Options force;
    force.force = true;
    received.clear();
    c = fleet(force, {"same"}, received);
    EXPECT_EQ(c.status, ctl::kExitOk) << c.err;
    EXPECT_EQ(received["same"].find("get_net_conf"), std::string::npos) << received["same"];
    EXPECT_NE(received["same"].find("set_net_conf"), std::string::npos) << received["same"];
    EXPECT_NE(c.err.find("; 0 changed, 0 unchanged, 1 not known"), std::string::npos) << c.err;
}

}  // namespace
