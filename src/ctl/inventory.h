// SPDX-License-Identifier: Apache-2.0
// The inventory of a fleet: a JSON file that lists boards by name, each with its line
// address and, optionally, its own network configuration.
//
//   {"boards": [
//     {"name": "r1-b00", "line": "ssh:admin:port01@console1", "known_hosts": "/etc/qf/hosts"},
//     {"name": "r1-b01", "line": "telnet:console1:3001",
//      "network": {"address": "10.0.1.8/24", "gateway": "10.0.1.1",
//                  "dns": ["10.0.0.53"], "idc": "dc1", "soc_ip": "10.0.1.8",
//                  "pod_id": 3,
//                  "containers": [{"mac": "02:00:00:00:01:0a", "address": "10.0.1.10"}]}}]}
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "protocol/json_text.h"
#include "quillferry/address.h"
#include "quillferry/request.h"

namespace ctl {

struct InventoryBoard {
    std::string name;
    qfclient::LineAddress line;
    std::optional<qfclient::NetSettings> network;
    int lineNumber = 0;  // where its entry starts in the file
};

// A file larger than this is not an inventory anyone wrote by hand or script.
inline constexpr std::size_t kMaxInventoryBytes = std::size_t{16} * 1024 * 1024;
// What an inventory may hold, judged before it is parsed: a board's entry is five levels
// deep, and 100,000 values are some 7,000 boards with their networks and containers, or
// 30,000 without. Parsed, every value costs some hundred bytes.
inline constexpr JsonShape kInventoryLimits{8, 100000};

// Complaints about an inventory, one line each: the first kMaxShown are kept, the rest
// only counted, so that a file of a million bad entries costs no more than a few.
class Complaints {
public:
    static constexpr std::size_t kMaxShown = 10;

    void add(std::string line);
    // Whether one more line would be kept (a caller may skip making a line that would not).
    bool keeps() const { return shown_.size() < kMaxShown; }
    void count() { ++count_; }
    bool empty() const { return count_ == 0; }
    std::size_t size() const { return count_; }
    // The kept lines, then "and N more" when some were only counted.
    std::vector<std::string> lines() const;

private:
    std::vector<std::string> shown_;
    std::size_t count_ = 0;
};

// Reads and checks the whole inventory: its shape within kInventoryLimits, names unique and
// plain (letters, digits, '-', '_', '.', ':'), addresses well formed, the files that secure a
// line (identity, known_hosts, ca, cert, key) fit for it and regular files that can be read,
// no unknown member, every network configuration one the boards accept (their own checks).
// False with `complaints` (one line each, naming the board and its line) when anything is
// wrong.
bool parseInventory(const std::string& text, std::vector<InventoryBoard>& boards,
                    Complaints& complaints);

// Reads the file; false with `complaints` when it cannot be read or parsed.
bool loadInventory(const std::string& path, std::vector<InventoryBoard>& boards,
                   Complaints& complaints);

}  // namespace ctl
