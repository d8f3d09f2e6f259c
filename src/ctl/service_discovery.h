// SPDX-License-Identifier: Apache-2.0
// The boards of an inventory as Prometheus' service discovery takes them (the JSON of
// http_sd_configs and file_sd_configs): one target per board, its name, with the labels idc
// and pod when the inventory gives the board a network. A scrape configuration turns the
// target into the exporter's target parameter.
#pragma once

#include <string>
#include <vector>

#include "ctl/inventory.h"

namespace ctl {

// `[{"targets":["r1-b01"],"labels":{"idc":"dc1","pod":"3"}}, ...]`, a board to a line.
std::string serviceDiscoveryJson(const std::vector<const InventoryBoard*>& boards);

}  // namespace ctl
