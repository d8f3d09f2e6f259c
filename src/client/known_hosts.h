// SPDX-License-Identifier: Apache-2.0
// Known hosts files as OpenSSH's client keeps them, read for an SSH line: which host name
// a console server's key is filed under, and, when the key it offers differs from the one
// filed, the file and line it contradicts (libssh tells that a key changed, not where).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "client/held_file.h"

struct ssh_key_struct;

namespace qfclient {

// The name a host's keys are filed under: the host in lower case, with the port when it is
// not 22 ("[console1]:2222").
std::string knownHostsName(const std::string& host, const std::string& port);

struct KnownHostsLine {
    std::string path;
    std::size_t line = 0;  // from 1
};

// The first line of `files` (in order) that files a key for `name` other than `offered`:
// of the same type when `sameType` (the key changed), of any type otherwise (the host is
// known by a key of another type). Comments, markers (@revoked, @cert-authority) and lines
// that cannot be read are passed over.
std::optional<KnownHostsLine> contradictingLine(const std::vector<const HeldFile*>& files,
                                                const std::string& name, ssh_key_struct* offered,
                                                bool sameType);

}  // namespace qfclient
