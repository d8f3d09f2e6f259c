// SPDX-License-Identifier: Apache-2.0
#include "test_sshd.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "board.h"

namespace qftest {

namespace {

constexpr const char* kSshd = "/usr/sbin/sshd";

}  // namespace

void shell(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

std::string TestSshd::missing() {
    if (::geteuid() != 0) return "sshd's privilege separation needs root";
    if (::access(kSshd, X_OK) != 0) return "sshd is missing (tools/install-deps board)";
    return missingProgram({"bwrap", "ssh-keygen", "socat"});
}

TestSshd::TestSshd(const std::string& dir, const std::vector<User>& users)
    : dir_(dir), port_(Spawned::freePort()) {
    shell("ssh-keygen -q -t ed25519 -N '' -C '' -f " + dir_ + "/host_key && " +
          "ssh-keygen -q -t ed25519 -N '' -C '' -f " + dir_ + "/client_key && " + "cp " + dir_ +
          "/client_key.pub " + dir_ + "/authorized_keys && mkdir -p " + dir_ + "/home");
    const std::string pub = readText(dir_ + "/host_key.pub");
    hostKey_ = pub.substr(0, pub.find(' ', pub.find(' ') + 1));
    std::ofstream(knownHosts()) << "[127.0.0.1]:" << port_ << " " << hostKey_ << "\n";
    // The users exist only in the sandbox's /etc/passwd (as root, which sshd then lets in by
    // key only), beside sshd's own user for its privilege separation.
    std::ofstream passwd(dir_ + "/passwd");
    passwd << "root:x:0:0:root:/root:/bin/sh\nsshd:x:100:65534::/run/sshd:/usr/sbin/nologin\n";
    std::ofstream config(dir_ + "/sshd_config");
    config << "ListenAddress 127.0.0.1:" << port_ << "\nHostKey " << dir_ << "/host_key\n"
           << "AuthorizedKeysFile " << dir_ << "/authorized_keys\nPidFile " << dir_
           << "/sshd.pid\nStrictModes no\nUsePAM no\nPermitRootLogin prohibit-password\n"
           << "PasswordAuthentication no\nKbdInteractiveAuthentication no\n"
           << "PermitTTY no\nMaxStartups 400\nMaxSessions 10\nLogLevel VERBOSE\n";
    for (const User& u : users) {
        passwd << u.name << ":x:0:0::" << dir_ << "/home:/bin/sh\n";
        config << "Match User " << u.name << "\n  ForceCommand " << u.command << "\n";
        std::istringstream more(u.config);
        for (std::string line; std::getline(more, line);) config << "  " << line << "\n";
    }
    passwd.close();
    config.close();
    std::ofstream(dir_ + "/group") << "root:x:0:\nnogroup:x:65534:\n";
    // In a sandbox whose /etc/passwd and /etc/group are the test's.
    std::vector<std::string> argv;
    std::istringstream fixed(
        "bwrap --die-with-parent --bind / / --dev-bind /dev /dev --proc /proc "
        "--tmpfs /run --dir /run/sshd");
    for (std::string word; fixed >> word;) argv.push_back(word);
    argv.insert(argv.end(),
                {"--ro-bind", dir_ + "/passwd", "/etc/passwd", "--ro-bind", dir_ + "/group",
                 "/etc/group", "--", kSshd, "-D", "-e", "-f", dir_ + "/sshd_config"});
    sshd_.start(argv, dir_ + "/sshd.log");
    if (!Spawned::waitForPort(port_))
        throw std::runtime_error("sshd does not take connections: " + readText(dir_ + "/sshd.log"));
}

}  // namespace qftest
