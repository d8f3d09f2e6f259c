// SPDX-License-Identifier: Apache-2.0
#include "ctl/inventory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "expect_text.h"
#include "inventory_text.h"
#include "scratch_dir.h"

namespace {

using CtlInventory = ScratchDir;

// The complaints about an inventory that must be refused, a line each.
std::vector<std::string> complaints(const std::string& text) {
    std::vector<ctl::InventoryBoard> boards;
    ctl::Complaints complaints;
    EXPECT_FALSE(ctl::parseInventory(text, boards, complaints)) << text.substr(0, 40);
    return complaints.lines();
}

// Every bad entry is reported, by line and name, and none is taken; so is each file that secures
// a line but does not suit it, cannot be read or is no regular file.
TEST_F(CtlInventory, BadEntriesAreReportedByLineAndName) {
    const std::string key = put("key", "k");
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    // A member naming a file, with its leading comma.
    const auto file = [](const std::string& name, const std::string& path) {
        return ", \"" + name + "\": \"" + path + "\"";
    };
    const std::string net =
        R"("address": "10.0.0.8/24", "gateway": "10.0.0.1", "dns": ["10.0.0.53"], "idc": "dc1", "soc_ip": "10.0.0.8", "pod_id": 1)";
    const std::pair<std::string, std::vector<const char*>> cases[] = {
        {"[]", {"line 1: the inventory must be an object"}},
        {R"({"boards": []})", {"lists no board"}},
        {R"({"boards": [{"name": "a", "line": "/dev/x"}, {"name": "a", "line": "/dev/y"}]})",
         {"line 1: board \"a\": the name is taken"}},
        {"{\"boards\": [\n{\"name\": \"a b\", \"line\": \"tcp:h\"},\n{\"line\": 3, \"port\": 1}]}",
         {"line 2: board \"a b\": a name is", "line 2: board \"a b\": line address 'tcp:h'",
          "line 3: a board without a name: \"name\" must be a text", "\"line\" must be a text",
          "unknown member \"port\""}},
        {"{\"boards\": [{\"name\": \"n\", \"line\": \"/dev/x\",\n \"network\": {" + net +
             ", \"containers\": [{\"mac\": \"aa:bb\", \"address\": \"10.0.0.9\"}]}}]}",
         {"line 2: board \"n\": network: container 1 mac 'aa:bb'"}},
        // A value is judged whole, not up to a zero byte.
        {R"({"boards": [{"name": "n", "line": "/dev/x", "network": {"address": "10.0.0.8/24", "gateway": "10.0.0.1", "dns": ["10.0.0.53"], "idc": "dc\u0000x", "soc_ip": "10.0.0.8", "pod_id": 1}}]})",
         {"network: idc 'dc\\x00x'"}},
        {R"({"boards": [{"name": "n", "line": "/dev/x", "network": {"address": "10.0.0.8/24", "pod_id": "3"}}]})",
         {"\"gateway\" must be a text", "\"dns\" must be a list", "\"pod_id\" must be an integer"}},
        {R"({"boards": [{"name": "n"} trailing)", {"not JSON"}},
        {inventoryText({{"a", "tcp:console1:3001", file("ca", key)},
                        {"b", "ssh:console1", file("identity", path("missing"))},
                        {"c", "ssh:console1", file("known_hosts", path("fifo"))},
                        {"d", "tls:console1:1", file("cert", key)},
                        {"e", "tls:console1:1", file("ca", "")},
                        {"f", "ssh:console1", R"(, "identity": 3)"}}),
         {"line 2: board \"a\": a CA file is for tls: and telnets: lines only",
          "line 3: board \"b\": an identity: cannot read",
          "line 4: board \"c\": a known hosts file: cannot read", "not a regular file",
          "line 5: board \"d\": a client certificate needs its key",
          "line 6: board \"e\": \"ca\" is an empty path",
          "line 7: board \"f\": \"identity\" must be a text"}},
    };
    for (const auto& [text, expected] : cases) {
        std::string all;
        for (const std::string& line : complaints(text)) all += line + "\n";
        for (const char* e : expected) EXPECT_HAS(all, e);
    }
    // The same files where they suit the line are taken.
    std::vector<ctl::InventoryBoard> boards;
    ctl::Complaints errors;
    ASSERT_TRUE(ctl::parseInventory(
        inventoryText(
            {{"s", "ssh:admin:port05@console1", file("identity", key) + file("known_hosts", key)},
             {"t", "telnets:console1:3005",
              file("ca", key) + file("cert", key) + file("key", key)}}),
        boards, errors))
        << ::testing::PrintToString(errors.lines());
    EXPECT_EQ(boards[1].line.cert, key);
}

// An inventory is judged by its shape before it is parsed, and of many bad entries the first
// ten complaints are told, the rest counted.
TEST_F(CtlInventory, ReadingItIsBoundedWhateverItHolds) {
    const auto entries = [](int count, const char* entry) {
        std::string text = R"({"boards": [)";
        for (int i = 0; i < count; ++i) text += std::string(i == 0 ? "\n" : ",\n") + entry;
        return text + "]}";
    };
    const struct {
        std::string text;
        std::vector<std::string> complaints;  // in this order, and no other
    } cases[] = {
        {std::string(100000, '[') + std::string(100000, ']'),
         {"refused unread: nested deeper than 8 levels (an inventory has at most 100000 values, "
          "8 levels deep; split a larger fleet)"}},
        {entries(50000, "[]"), {"refused unread: more than 100000 values"}},
        {entries(25, "7"),
         {"line 2: inventory: a board must be an object", "line 3:", "line 4:", "line 5:",
          "line 6:", "line 7:", "line 8:", "line 9:", "line 10:", "line 11:", "and 15 more"}},
        {entries(3, R"({"name": "a\u001b[2J", "line": "/dev/x", "x\n": 1})"),
         {R"(line 2: board "a\x1b[2J": a name is)",
          R"(line 2: board "a\x1b[2J": unknown member "x\n")",
          "line 3:", "line 3:", "line 4:", "line 4:"}},
    };
    for (const auto& c : cases) {
        const std::vector<std::string> lines = complaints(c.text);
        ASSERT_EQ(lines.size(), c.complaints.size()) << ::testing::PrintToString(lines);
        for (std::size_t i = 0; i < lines.size(); ++i)
            EXPECT_EQ(lines[i].rfind(c.complaints[i], 0), 0u) << lines[i];
    }
}

}  // namespace
