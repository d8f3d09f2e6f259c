// SPDX-License-Identifier: Apache-2.0
// What a "set_net_conf" request puts in force, in the members the board reports it with
// ("get_net_conf" with "in_force"): the daemon writes its state file from it, and the
// controller's client compares a board's report with what an inventory asks for through it.
#pragma once

#include <json/json.h>

struct NetConfRequest;

// The configuration of `conf` (complete and fit): "ipv4" or "ipv6" (address, gateway,
// netmask), "nameservers" (the IPv6 default second one included, as read) and "location"
// (idc, soc_ip, pod_id as a number).
Json::Value inForceConfiguration(const NetConfRequest& conf);

// The container list of `conf` as the board keeps it: each entry {"mac", "ipv4"|"ipv6"}, null
// for an unused slot.
Json::Value inForceContainers(const NetConfRequest& conf);
