// SPDX-License-Identifier: Apache-2.0
#include "exporter/web_config.h"

#include <yaml.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <set>
#include <vector>

#include "core/fd_io.h"
#include "quillferry/reply.h"

namespace exporter {

namespace {

// A YAML document read with libyaml: its nodes by reference, freed with it.
class YamlDocument {
public:
    // False with `error` when `text` is not one YAML document.
    bool load(const std::string& text, std::string& error) {
        yaml_parser_t parser;
        if (yaml_parser_initialize(&parser) == 0) {
            error = "cannot start the YAML parser";
            return false;
        }
        yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text.data()),
                                     text.size());
        loaded_ = yaml_parser_load(&parser, &doc_) != 0;
        if (!loaded_) {
            error = "not YAML: line " + std::to_string(parser.problem_mark.line + 1) + ": " +
                    qfclient::escapeBytes(parser.problem != nullptr ? parser.problem : "?");
        }
        yaml_parser_delete(&parser);
        return loaded_;
    }
    ~YamlDocument() {
        if (loaded_) yaml_document_delete(&doc_);
    }
    YamlDocument() = default;
    YamlDocument(const YamlDocument&) = delete;
    YamlDocument& operator=(const YamlDocument&) = delete;

    // The root node; null for an empty document.
    yaml_node_t* root() { return loaded_ ? yaml_document_get_root_node(&doc_) : nullptr; }
    yaml_node_t* node(int index) { return yaml_document_get_node(&doc_, index); }

private:
    yaml_document_t doc_{};
    bool loaded_ = false;
};

bool isScalar(const yaml_node_t* n) {
    return n != nullptr && n->type == YAML_SCALAR_NODE;
}

std::string scalar(const yaml_node_t* n) {
    if (!isScalar(n)) return std::string();
    return std::string(reinterpret_cast<const char*>(n->data.scalar.value), n->data.scalar.length);
}

// Absent, empty or null ("~", "null"): nothing given.
bool isNull(const yaml_node_t* n) {
    if (n == nullptr) return true;
    if (!isScalar(n) || n->data.scalar.style != YAML_PLAIN_SCALAR_STYLE) return false;
    const std::string v = scalar(n);
    return v.empty() || v == "~" || v == "null" || v == "Null" || v == "NULL";
}

// The members of a mapping, in order.
std::vector<std::pair<std::string, yaml_node_t*>> members(YamlDocument& doc, const yaml_node_t* n) {
    std::vector<std::pair<std::string, yaml_node_t*>> out;
    if (n == nullptr || n->type != YAML_MAPPING_NODE) return out;
    for (const yaml_node_pair_t* p = n->data.mapping.pairs.start; p < n->data.mapping.pairs.top;
         ++p) {
        const yaml_node_t* key = doc.node(p->key);
        out.emplace_back(isScalar(key) ? scalar(key) : std::string("(not a text)"),
                         doc.node(p->value));
    }
    return out;
}

// Judges one mapping: its members must be among `known` (those of the toolkit this exporter
// does not apply are named as such), each at most once.
class Section {
public:
    Section(YamlDocument& doc, const yaml_node_t* node, std::string where)
        : members_(members(doc, node)),
          mapping_(node != nullptr && node->type == YAML_MAPPING_NODE),
          where_(std::move(where)) {}

    bool only(std::initializer_list<const char*> known, std::string& error) const {
        if (!mapping_) {
            error = where_ + " must be a mapping";
            return false;
        }
        std::set<std::string> seen;
        for (const auto& member : members_) {
            const std::string& name = member.first;
            if (std::none_of(known.begin(), known.end(),
                             [&](const char* k) { return name == k; })) {
                error = where_ + ": \"" + qfclient::escapeBytes(name) +
                        "\" is not a member this exporter knows or supports";
                return false;
            }
            if (!seen.insert(name).second) {
                error = where_ + ": \"" + name + "\" is given twice";
                return false;
            }
        }
        return true;
    }
    // The member `name`; null when absent.
    yaml_node_t* get(const char* name) const {
        for (const auto& [n, value] : members_) {
            if (n == name) return value;
        }
        return nullptr;
    }
    // The text of `name`, left as it is when absent or null; false when it is no text.
    bool text(const char* name, std::string& out, std::string& error) const {
        const yaml_node_t* v = get(name);
        if (isNull(v)) return true;
        if (!isScalar(v)) {
            error = where_ + "." + name + " must be a text";
            return false;
        }
        out = scalar(v);
        return true;
    }
    const std::vector<std::pair<std::string, yaml_node_t*>>& all() const { return members_; }

private:
    std::vector<std::pair<std::string, yaml_node_t*>> members_;
    bool mapping_;
    std::string where_;
};

bool isBcrypt(const std::string& hash) {
    // $2y$10$ and 53 characters of bcrypt's base 64: 22 of salt, 31 of hash.
    if (hash.size() != 60 || hash.compare(0, 2, "$2") != 0 || hash[3] != '$' || hash[6] != '$')
        return false;
    if (hash[2] != 'a' && hash[2] != 'b' && hash[2] != 'y') return false;
    if (std::isdigit(static_cast<unsigned char>(hash[4])) == 0 ||
        std::isdigit(static_cast<unsigned char>(hash[5])) == 0)
        return false;
    return std::all_of(hash.begin() + 7, hash.end(), [](unsigned char c) {
        return std::isalnum(c) != 0 || c == '.' || c == '/';
    });
}

bool tlsSection(YamlDocument& doc, const yaml_node_t* node, WebConfig::Tls& tls,
                std::string& error) {
    const Section s(doc, node, "tls_server_config");
    if (!s.only({"cert_file", "key_file", "client_auth_type", "client_ca_file", "min_version",
                 "max_version"},
                error))
        return false;
    std::string auth = "NoClientCert";
    if (!s.text("cert_file", tls.certFile, error) || !s.text("key_file", tls.keyFile, error) ||
        !s.text("client_ca_file", tls.clientCaFile, error) ||
        !s.text("client_auth_type", auth, error) || !s.text("min_version", tls.minVersion, error) ||
        !s.text("max_version", tls.maxVersion, error))
        return false;
    if (tls.certFile.empty() || tls.keyFile.empty()) {
        error = "tls_server_config needs cert_file and key_file";
        return false;
    }
    if (auth == "RequireAndVerifyClientCert") {
        tls.requireClientCert = true;
        if (tls.clientCaFile.empty()) {
            error = "tls_server_config: RequireAndVerifyClientCert needs client_ca_file";
            return false;
        }
    } else if (auth != "NoClientCert") {
        error = "tls_server_config.client_auth_type \"" + qfclient::escapeBytes(auth) +
                "\" is not supported (NoClientCert or RequireAndVerifyClientCert)";
        return false;
    } else if (!tls.clientCaFile.empty()) {
        error =
            "tls_server_config: client_ca_file needs client_auth_type "
            "RequireAndVerifyClientCert";
        return false;
    }
    const std::vector<std::string> versions = {"TLS12", "TLS13"};
    const auto rank = [&](const std::string& v) {
        return std::find(versions.begin(), versions.end(), v) - versions.begin();
    };
    for (const std::string* v : {&tls.minVersion, &tls.maxVersion}) {
        if (rank(*v) == static_cast<std::ptrdiff_t>(versions.size())) {
            error = "tls_server_config: TLS version \"" + qfclient::escapeBytes(*v) +
                    "\" is not supported (TLS12 or TLS13)";
            return false;
        }
    }
    if (rank(tls.minVersion) > rank(tls.maxVersion)) {
        error = "tls_server_config: min_version is above max_version";
        return false;
    }
    return true;
}

bool usersSection(YamlDocument& doc, const yaml_node_t* node,
                  std::map<std::string, std::string>& users, std::string& error) {
    const Section s(doc, node, "basic_auth_users");
    if (node == nullptr || node->type != YAML_MAPPING_NODE) {
        error = "basic_auth_users must be a mapping of user names to bcrypt hashes";
        return false;
    }
    for (const auto& [name, value] : s.all()) {
        const std::string shown = qfclient::escapeBytes(name);
        // A colon ends the user name in basic authentication; control characters have no
        // place in a header.
        if (name.empty() || name.size() > 256 ||
            std::any_of(name.begin(), name.end(),
                        [](unsigned char c) { return c == ':' || c < 0x20 || c == 0x7f; })) {
            error = "basic_auth_users: \"" + shown + "\" is not a user name (no ':', no control)";
            return false;
        }
        const std::string hash = scalar(value);
        if (!isScalar(value) || !isBcrypt(hash)) {
            error = "basic_auth_users." + shown + " is not a bcrypt hash ($2y$10$ and 53 more)";
            return false;
        }
        const int cost = (hash[4] - '0') * 10 + (hash[5] - '0');
        if (cost < 4 || cost > kMaxBcryptCost) {
            error = "basic_auth_users." + shown + ": a bcrypt cost of " + std::to_string(cost) +
                    " is not between 4 and " + std::to_string(kMaxBcryptCost);
            return false;
        }
        if (!users.emplace(name, hash).second) {
            error = "basic_auth_users: \"" + shown + "\" is given twice";
            return false;
        }
    }
    return true;
}

bool readBounded(const std::string& path, std::string& text, std::string& error) {
    const UniqueFd fd = openRegularFile(path.c_str());
    text.clear();
    if (!fd.valid() || !readUpTo(fd.get(), kMaxWebConfigFileBytes + 1, text)) {
        error = "cannot read " + qfclient::escapeBytes(path) + ": " + std::strerror(errno);
        return false;
    }
    if (text.size() > kMaxWebConfigFileBytes) {
        error = qfclient::escapeBytes(path) + " is larger than " +
                std::to_string(kMaxWebConfigFileBytes) + " bytes";
        return false;
    }
    return true;
}

}  // namespace

bool parseWebConfig(const std::string& text, WebConfig& config, std::string& error) {
    config = WebConfig();
    YamlDocument doc;
    if (!doc.load(text, error)) return false;
    const yaml_node_t* root = doc.root();
    if (isNull(root)) return true;  // an empty file: nothing to apply
    const Section s(doc, root, "the web configuration");
    if (!s.only({"tls_server_config", "basic_auth_users"}, error)) return false;
    if (!isNull(s.get("tls_server_config"))) {
        config.tls.emplace();
        if (!tlsSection(doc, s.get("tls_server_config"), *config.tls, error)) return false;
    }
    return isNull(s.get("basic_auth_users")) ||
           usersSection(doc, s.get("basic_auth_users"), config.users, error);
}

bool loadWebConfig(const std::string& path, WebConfig& config, std::string& error) {
    std::string text;
    if (!readBounded(path, text, error)) return false;
    if (!parseWebConfig(text, config, error)) {
        error = qfclient::escapeBytes(path) + ": " + error;
        return false;
    }
    if (!config.tls) return true;
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const auto resolve = [&](const std::string& file) {
        return file.empty() || file.front() == '/' ? file : folder + file;
    };
    WebConfig::Tls& tls = *config.tls;
    tls.certFile = resolve(tls.certFile);
    tls.keyFile = resolve(tls.keyFile);
    tls.clientCaFile = resolve(tls.clientCaFile);
    return readBounded(tls.certFile, tls.cert, error) && readBounded(tls.keyFile, tls.key, error) &&
           (tls.clientCaFile.empty() || readBounded(tls.clientCaFile, tls.clientCa, error));
}

std::string tlsPriorities(const WebConfig::Tls& tls) {
    std::string versions;
    if (tls.minVersion == "TLS12") versions += ":+VERS-TLS1.2";
    if (tls.maxVersion == "TLS13") versions += ":+VERS-TLS1.3";
    return "NORMAL:-VERS-ALL" + versions;
}

}  // namespace exporter
