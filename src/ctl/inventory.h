// SPDX-License-Identifier: Apache-2.0
// The inventory of a fleet: a JSON file that lists boards by name, each with its line
// address and, optionally, its own network configuration.
//
//   {"boards": [
//     {"name": "r1-b01", "line": "telnet:console1:3001",
//      "network": {"address": "10.0.1.8/24", "gateway": "10.0.1.1",
//                  "dns": ["10.0.0.53"], "idc": "dc1", "soc_ip": "10.0.1.8",
//                  "pod_id": 3,
//                  "containers": [{"mac": "02:00:00:00:01:0a", "address": "10.0.1.10"}]}}]}
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "client/address.h"
#include "client/request.h"

namespace ctl {

struct InventoryBoard {
    std::string name;
    qfclient::LineAddress line;
    std::optional<qfclient::NetSettings> network;
    int lineNumber = 0;  // where its entry starts in the file
};

// A file larger than this is not an inventory anyone wrote by hand or script.
inline constexpr std::size_t kMaxInventoryBytes = std::size_t{16} * 1024 * 1024;

// Reads and checks the whole inventory: names unique and plain (letters, digits, '-', '_',
// '.', ':'), addresses well formed, no unknown member, every network configuration one the
// boards accept (their own checks). False with `errors` (one line each, naming the board
// and its line) when anything is wrong.
bool parseInventory(const std::string& text, std::vector<InventoryBoard>& boards,
                    std::vector<std::string>& errors);

// Reads the file; false with `errors` when it cannot be read or parsed.
bool loadInventory(const std::string& path, std::vector<InventoryBoard>& boards,
                   std::vector<std::string>& errors);

}  // namespace ctl
