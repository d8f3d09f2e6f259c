// SPDX-License-Identifier: Apache-2.0
#include "client/known_hosts.h"

#include <libssh/libssh.h>

#include <algorithm>
#include <cctype>

namespace qfclient {

namespace {

// libssh reads lines of up to this many bytes; longer ones are none of its entries.
constexpr std::size_t kMaxLineBytes = 8191;

}  // namespace

std::string knownHostsName(const std::string& host, const std::string& port) {
    std::string name = host;
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return port == "22" ? name : "[" + name + "]:" + port;
}

std::optional<KnownHostsLine> contradictingLine(const std::vector<const HeldFile*>& files,
                                                const std::string& name, ssh_key offered,
                                                bool sameType) {
    for (const HeldFile* file : files) {
        const std::string& bytes = file->bytes;
        std::size_t number = 0;
        for (std::size_t at = 0; at < bytes.size();) {
            const std::size_t end = std::min(bytes.find('\n', at), bytes.size());
            const std::string line = bytes.substr(at, end - at);
            at = end + 1;
            ++number;
            const std::size_t first = line.find_first_not_of(" \t\r");
            if (first == std::string::npos || line[first] == '#' || line[first] == '@' ||
                line.size() > kMaxLineBytes || line.find('\0') != std::string::npos)
                continue;
            ssh_knownhosts_entry* entry = nullptr;
            if (ssh_known_hosts_parse_line(name.c_str(), line.c_str() + first, &entry) != SSH_OK ||
                entry == nullptr)
                continue;
            const bool other =
                entry->publickey != nullptr &&
                ssh_key_cmp(entry->publickey, offered, SSH_KEY_CMP_PUBLIC) != 0 &&
                (!sameType || ssh_key_type(entry->publickey) == ssh_key_type(offered));
            ssh_knownhosts_entry_free(entry);
            if (other) return KnownHostsLine{file->path, number};
        }
    }
    return std::nullopt;
}

}  // namespace qfclient
