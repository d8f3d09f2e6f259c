// SPDX-License-Identifier: Apache-2.0
// OpenSSH's sshd as a console server's SSH side: on a loopback port, its files in the test's
// folder, in a mount namespace (bubblewrap) whose /etc/passwd holds the test's users, named as
// port selectors ("admin+port05"), each with a ForceCommand. Needs root.
#pragma once

#include <string>
#include <vector>

#include "spawned.h"

namespace qftest {

class TestSshd {
public:
    struct User {
        std::string name;
        std::string command;      // the ForceCommand, run with /bin/sh
        std::string config = "";  // more of sshd's settings for the user, a line each
    };

    // Why sshd cannot be started here; empty when it can.
    static std::string missing();

    // Starts sshd with `users` in `dir` (which must exist); returns once it takes
    // connections. Throws std::runtime_error when it cannot.
    TestSshd(const std::string& dir, const std::vector<User>& users);

    int port() const { return port_; }
    // The line address of `user` on this server.
    std::string address(const std::string& user) const {
        return "ssh:" + user + "@127.0.0.1:" + std::to_string(port_);
    }
    // The private key whose public half the server authorizes, with no passphrase.
    std::string clientKey() const { return dir_ + "/client_key"; }
    // A known hosts file that names this server's host key.
    std::string knownHosts() const { return dir_ + "/known_hosts"; }
    // The server's host key as a known hosts entry's key ("ssh-ed25519 AAAA...").
    const std::string& hostKey() const { return hostKey_; }

private:
    std::string dir_;
    int port_ = 0;
    std::string hostKey_;
    Spawned sshd_;
};

// Runs `command` with /bin/sh; throws std::runtime_error when it fails.
void shell(const std::string& command);

}  // namespace qftest
