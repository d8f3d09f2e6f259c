// SPDX-License-Identifier: Apache-2.0
#include "ctl/service_discovery.h"

#include <json/json.h>

#include "quillferry/request.h"

namespace ctl {

std::string serviceDiscoveryJson(const std::vector<const InventoryBoard*>& boards) {
    std::string text = "[";
    for (const InventoryBoard* b : boards) {
        Json::Value group(Json::objectValue);
        group["targets"].append(b->name);
        Json::Value& labels = group["labels"] = Json::Value(Json::objectValue);
        if (b->network) {
            labels["idc"] = b->network->idc;
            if (b->network->podId) labels["pod"] = std::to_string(*b->network->podId);
        }
        text += (text.size() > 1 ? ",\n" : "\n") + qfclient::compactJson(group);
    }
    return text + "\n]\n";
}

}  // namespace ctl
