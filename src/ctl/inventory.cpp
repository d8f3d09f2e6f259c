// SPDX-License-Identifier: Apache-2.0
#include "ctl/inventory.h"

#include <json/json.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <set>
#include <utility>

#include "core/fd_io.h"
#include "quillferry/reply.h"

namespace ctl {

namespace {

// Whether a name can stand as it is in a table, a JSON line and a metric label.
bool isPlainName(const std::string& name) {
    return !name.empty() && name.size() <= 128 &&
           std::all_of(name.begin(), name.end(), [](unsigned char c) {
               return std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.' || c == ':';
           });
}

// The line of an offset in the text, counted on from the last one asked for: entries come
// in order, so reading them all counts each newline about once.
class LineCounter {
public:
    explicit LineCounter(const std::string& text) : text_(text) {}
    int lineOf(std::size_t offset) {
        offset = std::min(offset, text_.size());
        if (offset < at_) {
            at_ = 0;
            line_ = 1;
        }
        line_ +=
            static_cast<int>(std::count(text_.begin() + static_cast<std::ptrdiff_t>(at_),
                                        text_.begin() + static_cast<std::ptrdiff_t>(offset), '\n'));
        at_ = offset;
        return line_;
    }

private:
    const std::string& text_;
    std::size_t at_ = 0;
    int line_ = 1;
};

class EntryReader {
public:
    EntryReader(const std::string& text, Complaints& complaints)
        : lines_(text), complaints_(complaints) {}

    int lineOf(const Json::Value& v) {
        return lines_.lineOf(static_cast<std::size_t>(v.getOffsetStart()));
    }
    void error(const Json::Value& at, const std::string& who, const std::string& what) {
        if (!complaints_.keeps()) return complaints_.count();
        complaints_.add("line " + std::to_string(lineOf(at)) + ": " + who + ": " + what);
    }
    // Members of `object` must be among `known`.
    void onlyKnown(const Json::Value& object, std::initializer_list<const char*> known,
                   const std::string& who) {
        for (const std::string& member : object.getMemberNames()) {
            if (std::none_of(known.begin(), known.end(),
                             [&](const char* k) { return member == k; }))
                error(object[member], who,
                      "unknown member \"" + qfclient::escapeBytes(member) + "\"");
        }
    }
    bool text(const Json::Value& object, const char* member, std::string& out,
              const std::string& who, bool required) {
        const Json::Value& v = object[member];
        if (v.isNull() && !required) return true;
        if (!v.isString()) {
            error(v.isNull() ? object : v, who, std::string("\"") + member + "\" must be a text");
            return false;
        }
        out = v.asString();
        return true;
    }
    std::optional<qfclient::NetSettings> network(const Json::Value& v, const std::string& who);
    // The files that secure the board's line, each a path that is not empty.
    bool lineFiles(const Json::Value& entry, qfclient::LineAddress& line, const std::string& who) {
        const std::pair<const char*, std::string*> files[] = {
            {"identity", &line.identity},
            {"known_hosts", &line.knownHosts},
            {"ca", &line.ca},
            {"cert", &line.cert},
            {"key", &line.key},
        };
        bool ok = true;
        for (const auto& [member, path] : files) {
            if (!text(entry, member, *path, who, false)) {
                ok = false;
            } else if (entry.isMember(member) && path->empty()) {
                error(entry[member], who, std::string("\"") + member + "\" is an empty path");
                ok = false;
            }
        }
        return ok;
    }

private:
    LineCounter lines_;
    Complaints& complaints_;
};

std::optional<qfclient::NetSettings> EntryReader::network(const Json::Value& v,
                                                          const std::string& who) {
    if (!v.isObject()) {
        error(v, who, "\"network\" must be an object");
        return std::nullopt;
    }
    onlyKnown(
        v, {"address", "gateway", "dns", "idc", "soc_ip", "pod_id", "containers", "verify_gateway"},
        who);
    qfclient::NetSettings net;
    bool ok = text(v, "address", net.address, who, true) &&
              text(v, "gateway", net.gateway, who, true) && text(v, "idc", net.idc, who, true) &&
              text(v, "soc_ip", net.socIp, who, true);
    const Json::Value& dns = v["dns"];
    if (!dns.isArray() ||
        std::any_of(dns.begin(), dns.end(), [](const Json::Value& d) { return !d.isString(); })) {
        error(dns.isNull() ? v : dns, who, "\"dns\" must be a list of texts");
        ok = false;
    } else {
        for (const Json::Value& d : dns) net.dns.push_back(d.asString());
    }
    const Json::Value& pod = v["pod_id"];
    if (!pod.isInt64()) {
        error(pod.isNull() ? v : pod, who, "\"pod_id\" must be an integer");
        ok = false;
    } else {
        net.podId = pod.asInt64();
    }
    if (v.isMember("verify_gateway")) {
        const Json::Value& verify = v["verify_gateway"];
        if (!verify.isInt64()) {
            error(verify, who, "\"verify_gateway\" must be an integer (seconds)");
            ok = false;
        } else {
            net.verifyGatewaySec = verify.asInt64();
        }
    }
    if (v.isMember("containers")) {
        const Json::Value& list = v["containers"];
        if (!list.isArray()) {
            error(list, who, "\"containers\" must be a list");
            return std::nullopt;
        }
        net.containers.emplace();
        for (const Json::Value& c : list) {
            qfclient::NetSettings::Container container;
            if (!c.isObject()) {
                error(c, who, "a container must be an object");
                ok = false;
                continue;
            }
            onlyKnown(c, {"mac", "address"}, who);
            ok = text(c, "mac", container.mac, who, true) &&
                 text(c, "address", container.address, who, true) && ok;
            net.containers->push_back(container);
        }
    }
    if (!ok) return std::nullopt;
    Json::Value request;
    std::string problem;
    if (!qfclient::setNetRequest("check", net, request, problem)) {
        error(v, who, "network: " + problem);
        return std::nullopt;
    }
    return net;
}

}  // namespace

void Complaints::add(std::string line) {
    if (keeps()) shown_.push_back(std::move(line));
    ++count_;
}

std::vector<std::string> Complaints::lines() const {
    std::vector<std::string> all = shown_;
    if (count_ > shown_.size())
        all.push_back("and " + std::to_string(count_ - shown_.size()) + " more");
    return all;
}

bool parseInventory(const std::string& text, std::vector<InventoryBoard>& boards,
                    Complaints& complaints) {
    boards.clear();
    const std::size_t before = complaints.size();
    // Judged whole before it is parsed: parsing costs many times the text.
    std::string problem = shapeRefusal(text, kInventoryLimits);
    if (!problem.empty()) {
        complaints.add("refused unread: " + problem + " (an inventory has at most " +
                       std::to_string(kInventoryLimits.values) + " values, " +
                       std::to_string(kInventoryLimits.depth) +
                       " levels deep; split a larger fleet)");
        return false;
    }
    Json::Value root;
    if (!parseStrictJson(text, root, problem, kInventoryLimits)) {
        complaints.add("not JSON: " + problem);
        return false;
    }
    EntryReader entries(text, complaints);
    if (!root.isObject() || !root["boards"].isArray()) {
        complaints.add("line 1: the inventory must be an object with a \"boards\" list");
        return false;
    }
    entries.onlyKnown(root, {"boards"}, "inventory");
    std::set<std::string> names;
    for (const Json::Value& entry : root["boards"]) {
        InventoryBoard board;
        board.lineNumber = entries.lineOf(entry);
        if (!entry.isObject()) {
            entries.error(entry, "inventory", "a board must be an object");
            continue;
        }
        std::string who = "a board without a name";
        if (entries.text(entry, "name", board.name, who, true)) {
            who = "board \"" + qfclient::escapeBytes(board.name) + "\"";
            if (!isPlainName(board.name)) {
                entries.error(entry, who, "a name is letters, digits, '-', '_', '.' and ':' only");
            } else if (!names.insert(board.name).second) {
                entries.error(entry, who, "the name is taken by an earlier board");
            }
        }
        entries.onlyKnown(
            entry, {"name", "line", "network", "identity", "known_hosts", "ca", "cert", "key"},
            who);
        std::string address;
        if (entries.text(entry, "line", address, who, true)) {
            if (!qfclient::parseAddress(address, board.line, problem)) {
                entries.error(entry["line"], who, problem);
            } else if (entries.lineFiles(entry, board.line, who)) {
                problem = qfclient::lineFilesProblem(board.line);
                if (!problem.empty()) entries.error(entry["line"], who, problem);
            }
        }
        if (entry.isMember("network")) board.network = entries.network(entry["network"], who);
        boards.push_back(std::move(board));
    }
    if (boards.empty() && complaints.size() == before)
        complaints.add("the inventory lists no board");
    return complaints.size() == before;
}

bool loadInventory(const std::string& path, std::vector<InventoryBoard>& boards,
                   Complaints& complaints) {
    const UniqueFd fd = openRegularFile(path.c_str());
    std::string text;
    if (!fd.valid() || !readUpTo(fd.get(), kMaxInventoryBytes + 1, text)) {
        complaints.add("cannot read " + qfclient::escapeBytes(path) + ": " + std::strerror(errno));
        return false;
    }
    if (text.size() > kMaxInventoryBytes) {
        complaints.add(qfclient::escapeBytes(path) + " is larger than " +
                       std::to_string(kMaxInventoryBytes) + " bytes");
        return false;
    }
    return parseInventory(text, boards, complaints);
}

}  // namespace ctl
