// SPDX-License-Identifier: Apache-2.0
// The web configuration file of --web.config.file, in the format of Prometheus' exporter
// toolkit (YAML):
//
//   tls_server_config:
//     cert_file: server.crt          # relative paths are relative to this file's folder
//     key_file: server.key
//     client_auth_type: RequireAndVerifyClientCert   # or NoClientCert (the default)
//     client_ca_file: clients.crt
//     min_version: TLS12             # TLS12 (the default) or TLS13
//     max_version: TLS13
//   basic_auth_users:
//     prometheus: $2y$10$...         # bcrypt hashes ($2a$, $2b$, $2y$)
//
// Read whole and judged before anything is served: an unknown or unsupported member, a
// value of the wrong type, a hash that is not bcrypt or a file that cannot be read is
// refused with its reason.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace exporter {

struct TlsSettings {
    std::string certFile;
    std::string keyFile;
    std::string clientCaFile;  // empty: no client certificates
    bool requireClientCert = false;
    std::string minVersion = "TLS12";
    std::string maxVersion = "TLS13";
    // The files' contents (PEM), read by loadWebConfig().
    std::string cert;
    std::string key;
    std::string clientCa;
};

struct WebConfig {
    using Tls = TlsSettings;
    std::optional<Tls> tls;
    // User names and their bcrypt hashes; empty: no authentication.
    std::map<std::string, std::string> users;
};

// A configuration file or a file it names is at most this large.
inline constexpr std::size_t kMaxWebConfigFileBytes = std::size_t{1} << 20;
// The cost of a bcrypt hash above which each check takes seconds.
inline constexpr int kMaxBcryptCost = 16;

// Reads the YAML text; false with a one-line `error` when it is not a web configuration
// this exporter can apply. Paths are taken as written.
bool parseWebConfig(const std::string& text, WebConfig& config, std::string& error);

// Reads the file at `path`, its relative paths resolved against its folder, and the TLS
// files it names.
bool loadWebConfig(const std::string& path, WebConfig& config, std::string& error);

// GnuTLS' priority string for the configuration's TLS versions.
std::string tlsPriorities(const WebConfig::Tls& tls);

}  // namespace exporter
