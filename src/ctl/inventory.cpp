// SPDX-License-Identifier: Apache-2.0
#include "ctl/inventory.h"

#include <json/json.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <set>

#include "client/reply.h"
#include "core/fd_io.h"

namespace ctl {

namespace {

// Whether a name can stand as it is in a table, a JSON line and a metric label.
bool isPlainName(const std::string& name) {
    return !name.empty() && name.size() <= 128 &&
           std::all_of(name.begin(), name.end(), [](unsigned char c) {
               return std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.' || c == ':';
           });
}

class EntryReader {
public:
    EntryReader(const std::string& text, std::vector<std::string>& errors) : errors_(errors) {
        for (std::size_t at = text.find('\n'); at != std::string::npos;
             at = text.find('\n', at + 1))
            newlines_.push_back(at);
    }

    int lineOf(const Json::Value& v) const {
        const auto offset = static_cast<std::size_t>(v.getOffsetStart());
        return 1 + static_cast<int>(std::lower_bound(newlines_.begin(), newlines_.end(), offset) -
                                    newlines_.begin());
    }
    void error(const Json::Value& at, const std::string& who, const std::string& what) {
        errors_.push_back("line " + std::to_string(lineOf(at)) + ": " + who + ": " + what);
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

private:
    std::vector<std::size_t> newlines_;  // offsets of the text's newlines, in order
    std::vector<std::string>& errors_;
};

std::optional<qfclient::NetSettings> EntryReader::network(const Json::Value& v,
                                                          const std::string& who) {
    if (!v.isObject()) {
        error(v, who, "\"network\" must be an object");
        return std::nullopt;
    }
    onlyKnown(v, {"address", "gateway", "dns", "idc", "soc_ip", "pod_id", "containers"}, who);
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

bool parseInventory(const std::string& text, std::vector<InventoryBoard>& boards,
                    std::vector<std::string>& errors) {
    boards.clear();
    const std::size_t before = errors.size();
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string parseErrors;
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &parseErrors)) {
        errors.push_back("not JSON: " + parseErrors.substr(0, parseErrors.find('\n', 200)));
        return false;
    }
    EntryReader entries(text, errors);
    if (!root.isObject() || !root["boards"].isArray()) {
        errors.emplace_back("line 1: the inventory must be an object with a \"boards\" list");
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
        entries.onlyKnown(entry, {"name", "line", "network"}, who);
        std::string address;
        std::string problem;
        if (entries.text(entry, "line", address, who, true) &&
            !qfclient::parseAddress(address, board.line, problem)) {
            entries.error(entry["line"], who, problem);
        }
        if (entry.isMember("network")) board.network = entries.network(entry["network"], who);
        boards.push_back(std::move(board));
    }
    if (boards.empty() && errors.size() == before)
        errors.emplace_back("the inventory lists no board");
    return errors.size() == before;
}

bool loadInventory(const std::string& path, std::vector<InventoryBoard>& boards,
                   std::vector<std::string>& errors) {
    const UniqueFd fd = openRegularFile(path.c_str());
    std::string text;
    if (!fd.valid() || !readUpTo(fd.get(), kMaxInventoryBytes + 1, text)) {
        errors.push_back("cannot read " + path + ": " + std::strerror(errno));
        return false;
    }
    if (text.size() > kMaxInventoryBytes) {
        errors.push_back(path + " is larger than " + std::to_string(kMaxInventoryBytes) + " bytes");
        return false;
    }
    return parseInventory(text, boards, errors);
}

}  // namespace ctl
