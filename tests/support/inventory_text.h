// SPDX-License-Identifier: Apache-2.0
// An inventory's text as an operator writes it: an entry a line, from the second line on.
#pragma once

#include <string>
#include <vector>

struct InventoryEntry {
    std::string name;
    std::string line;
    std::string more = "";  // further members as JSON text, each with its leading comma
};

inline std::string inventoryText(const std::vector<InventoryEntry>& boards) {
    std::string text = R"({"boards": [)";
    for (const InventoryEntry& b : boards) {
        text += (text.back() == '[' ? "\n" : ",\n") +
                (R"({"name": ")" + b.name + R"(", "line": ")" + b.line + "\"" + b.more + "}");
    }
    return text + "]}\n";
}

// A board's "network" member, with its leading comma: `address` as ADDRESS/PREFIX.
inline std::string networkMember(const std::string& address, const std::string& gateway,
                                 const std::string& idc = "dc1", int pod = 3) {
    return R"(, "network": {"address": ")" + address + R"(", "gateway": ")" + gateway +
           R"(", "dns": ["10.0.0.53"], "idc": ")" + idc + R"(", "soc_ip": ")" +
           address.substr(0, address.find('/')) + R"(", "pod_id": )" + std::to_string(pod) + "}";
}
