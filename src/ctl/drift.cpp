// SPDX-License-Identifier: Apache-2.0
#include "ctl/drift.h"

#include <algorithm>
#include <utility>

#include "protocol/in_force_shape.h"
#include "protocol/net_conf_request.h"
#include "protocol/wire.h"
#include "quillferry/reply.h"

namespace ctl {

namespace {

// A value shown in a difference line, at most this many bytes.
constexpr std::size_t kMaxShownBytes = 64;

// The values compared, in this order; "containers" only when the inventory gives them.
constexpr const char* kScalarValues[] = {"address", "gateway", "dns", "idc", "soc_ip", "pod_id"};
constexpr const char* kContainers = "containers";

using qfclient::member;

// `v` with every text as the board echoes it, without spaces. `v` is a configuration of a
// few levels that this program made.
Json::Value echoed(const Json::Value& v) {
    if (v.isString()) return qfclient::asBoardEchoes(v.asString());
    Json::Value out = v;
    if (v.isArray()) {
        for (Json::ArrayIndex i = 0; i < v.size(); ++i) out[i] = echoed(v[i]);
    } else if (v.isObject()) {
        for (const std::string& name : v.getMemberNames()) out[name] = echoed(v[name]);
    }
    return out;
}

// The one family object ("ipv4" or "ipv6") of a configuration, or null.
const Json::Value& familyOf(const Json::Value& configuration) {
    const Json::Value& v4 = member(configuration, "ipv4");
    const Json::Value& v6 = member(configuration, "ipv6");
    static const Json::Value none;
    if (v4.isNull() == v6.isNull()) return none;
    return v4.isNull() ? v6 : v4;
}

// A container entry {"mac", "ipv4"|"ipv6"} as {"mac", "address"}; null (an unused slot) as it
// is; anything else as it is.
Json::Value containerOf(const Json::Value& entry) {
    const Json::Value& mac = member(entry, "mac");
    const Json::Value& v4 = member(entry, "ipv4");
    const Json::Value& v6 = member(entry, "ipv6");
    if (!entry.isObject() || entry.size() != 2 || !mac.isString() ||
        !(v4.isString() || v6.isString()))
        return entry;
    Json::Value c(Json::objectValue);
    c["mac"] = mac;
    c["address"] = v4.isString() ? v4 : v6;
    return c;
}

// The kind of each value compared: what it is in a report of a board.
enum class Kind { Text, Texts, Number, Container, Containers };

Kind kindOf(const std::string& name) {
    if (name == "dns") return Kind::Texts;
    if (name == "pod_id") return Kind::Number;
    if (name == kContainers) return Kind::Containers;
    return Kind::Text;
}

// A value as the text of a difference line (unescaped): a value of its kind plainly (a list
// joined by ", ", a container as MAC=ADDRESS, an unused slot as "unused"), none as "none",
// a value of another kind as compact JSON, so that none passes for another.
std::string textOf(const Json::Value& v, Kind kind) {
    if (v.isNull()) return kind == Kind::Container ? "unused" : "none";
    if (kind == Kind::Text && v.isString()) return v.asString();
    if (kind == Kind::Number && v.isIntegral()) return qfclient::compactJson(v);
    const Json::Value& mac = member(v, "mac");
    const Json::Value& address = member(v, "address");
    if (kind == Kind::Container && v.size() == 2 && mac.isString() && address.isString())
        return mac.asString() + "=" + address.asString();
    const Kind each = kind == Kind::Texts ? Kind::Text : Kind::Container;
    if ((kind == Kind::Texts || kind == Kind::Containers) && v.isArray() &&
        std::all_of(v.begin(), v.end(), [each](const Json::Value& e) {
            return each == Kind::Container || e.isString();
        })) {
        std::string text;
        for (const Json::Value& e : v) text += (text.empty() ? "" : ", ") + textOf(e, each);
        return text.empty() ? "none" : text;
    }
    return qfclient::compactJson(v);
}

std::string textOf(const Json::Value& v, const std::string& name) {
    return textOf(v, kindOf(name));
}

class Differences {
public:
    explicit Differences(Drift& drift) : drift_(drift) {}
    void add(std::string value, std::string board, std::string inventory) {
        if (drift_.differences.size() < kMaxDifferences) {
            drift_.differences.push_back(
                {std::move(value), std::move(board), std::move(inventory)});
        } else {
            ++drift_.moreDifferences;
        }
    }

private:
    Drift& drift_;
};

// Each container of `expected` against the board's list `board` (an array, or null when the
// board does not know its list).
void compareContainers(const Json::Value& board, const Json::Value& expected,
                       Differences& differences) {
    if (!board.isArray()) {
        differences.add(kContainers, board.isNull() ? "not known" : textOf(board, kContainers),
                        textOf(expected, kContainers));
        return;
    }
    const Json::ArrayIndex n = std::max(board.size(), expected.size());
    for (Json::ArrayIndex i = 0; i < n; ++i) {
        const std::string name = "container " + std::to_string(i + 1);
        if (i >= board.size()) {
            differences.add(name, "none", textOf(expected[i], Kind::Container));
        } else if (i >= expected.size()) {
            differences.add(name, textOf(board[i], Kind::Container), "none");
        } else if (board[i] != expected[i]) {
            differences.add(name, textOf(board[i], Kind::Container),
                            textOf(expected[i], Kind::Container));
        }
    }
}

}  // namespace

Json::Value networkAsRun(const qfclient::NetSettings& net) {
    Json::Value request;
    std::string problem;
    if (!qfclient::setNetRequest("drift", net, request, problem)) return Json::Value();
    // The board's own reading of the request: what it would put in force.
    const NetConfRequest conf = readNetConfRequest(request);
    Json::Value inForce = inForceConfiguration(conf);
    if (conf.containersGiven) inForce["lxclist"] = inForceContainers(conf);
    Json::Value network = networkOfInForce(echoed(inForce));
    if (!conf.containersGiven) network.removeMember(kContainers);
    return network;
}

Json::Value networkOfInForce(const Json::Value& inForce) {
    Json::Value network(Json::objectValue);
    const Json::Value& family = familyOf(inForce);
    const Json::Value& address = member(family, "address");
    const Json::Value& netmask = member(family, "netmask");
    if (address.isString() && netmask.isInt64()) {
        network["address"] = address.asString() + "/" + std::to_string(netmask.asInt64());
    } else {
        // As it stands, so that it differs: both families, neither, or odd values.
        Json::Value odd(Json::objectValue);
        for (const char* name : {"ipv4", "ipv6"}) {
            if (!member(inForce, name).isNull()) odd[name] = member(inForce, name);
        }
        network["address"] = odd;
    }
    network["gateway"] = member(family, "gateway");
    network["dns"] = member(inForce, "nameservers");
    const Json::Value& location = member(inForce, "location");
    network["idc"] = member(location, "idc");
    network["soc_ip"] = member(location, "soc_ip");
    network["pod_id"] = member(location, "pod_id");
    const Json::Value& list = member(inForce, "lxclist");
    if (list.isArray()) {
        Json::Value& containers = network[kContainers] = Json::Value(Json::arrayValue);
        for (const Json::Value& entry : list) containers.append(containerOf(entry));
    } else {
        network[kContainers] = list;
    }
    return network;
}

bool compareInForce(const qfclient::NetSettings& net, const Json::Value& reply, Drift& drift,
                    std::string& why) {
    drift = Drift();
    drift.network = networkAsRun(net);
    if (drift.network.isNull()) {
        why = "the board would refuse the inventory's network";
        return false;
    }
    if (!reply.isObject() || !reply.isMember(qf::kInForceMember)) return true;  // cannot tell
    const Json::Value& inForce = member(reply, qf::kInForceMember);
    Differences differences(drift);
    drift.state = Drift::State::Differs;
    if (inForce.isNull() || inForce == "unknown") {
        // Every value differs from nothing, or from what nobody knows.
        drift.inForce = inForce;
        const std::string board = inForce.isNull() ? "nothing in force" : "unknown";
        for (const char* name : kScalarValues)
            differences.add(name, board, textOf(drift.network[name], name));
        if (drift.network.isMember(kContainers))
            differences.add(kContainers, board, textOf(drift.network[kContainers], kContainers));
        return true;
    }
    if (!inForce.isObject()) {
        why = "in_force is neither null, \"unknown\" nor an object";
        return false;
    }
    drift.inForce = networkOfInForce(inForce);
    for (const char* name : kScalarValues) {
        const Json::Value& board = drift.inForce[name];
        const Json::Value& expected = drift.network[name];
        if (board != expected) differences.add(name, textOf(board, name), textOf(expected, name));
    }
    if (drift.network.isMember(kContainers))
        compareContainers(drift.inForce[kContainers], drift.network[kContainers], differences);
    if (drift.differences.empty()) drift.state = Drift::State::InSync;
    return true;
}

std::vector<std::string> diffLines(const Drift& drift) {
    const auto shown = [](const std::string& text) {
        return qfclient::escapeBytes(std::string_view(text).substr(0, kMaxShownBytes)) +
               (text.size() > kMaxShownBytes ? "..." : "");
    };
    std::vector<std::string> lines;
    for (const Drift::Difference& d : drift.differences)
        lines.push_back(d.value + ": " + shown(d.board) + " -> " + shown(d.inventory));
    if (drift.moreDifferences > 0)
        lines.push_back("and " + std::to_string(drift.moreDifferences) + " more");
    return lines;
}

Json::Value differencesJson(const Drift& drift) {
    Json::Value list(Json::arrayValue);
    for (const Drift::Difference& d : drift.differences) {
        Json::Value entry(Json::objectValue);
        entry["value"] = d.value;
        entry["board"] = d.board;
        entry["inventory"] = d.inventory;
        list.append(entry);
    }
    return list;
}

}  // namespace ctl
