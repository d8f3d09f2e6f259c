// SPDX-License-Identifier: Apache-2.0
#include "netconf/host_network.h"

#include <fcntl.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/atomic_file.h"
#include "core/constants.h"
#include "core/fd_io.h"
#include "core/log.h"
#include "core/unique_fd.h"
#include "netconf/host_files.h"

Lines interfaceFileLines(std::uint8_t ipType, const std::string& address,
                         const std::string& gateway, int prefixLength,
                         const std::string& dnsSearch) {
    Lines lines = {"# The loopback network interface", "auto lo", "iface lo inet loopback",
                   "auto eth0"};
    if (ipType == 1) {
        lines.emplace_back("#IPV6 static configuration");
        lines.emplace_back("iface eth0 inet6 static");
    } else {
        lines.emplace_back("iface eth0 inet static");
    }
    lines.push_back("    address " + address + "/" + std::to_string(prefixLength));
    lines.push_back("    gateway " + gateway);
    lines.push_back("    dns-search " + dnsSearch);
    lines.push_back(std::string("    post-up ") + qf::kPostUpScript);
    return lines;
}

Lines clearedInterfaceLines() {
    return {"# The loopback network interface", "auto lo", "iface lo inet loopback", "auto eth0",
            "iface eth0 inet static"};
}

Lines resolverFileLines(const std::string& dnsSearch, const std::string& dns1,
                        const std::string& dns2) {
    Lines lines = {"domain " + dnsSearch, "options rotate"};
    if (!dns1.empty()) lines.push_back("nameserver " + dns1);
    if (!dns2.empty()) lines.push_back("nameserver " + dns2);
    return lines;
}

std::string joinLines(const Lines& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line;
        text += '\n';
    }
    return text;
}

namespace {

bool stageFile(FileBatch& batch, const std::string& path, const Lines& lines) {
    std::string error;
    if (batch.add(path, joinLines(lines), std::nullopt, error)) return true;
    logWriteFailure(error);
    return false;
}

ChildOutcome runInterfaceCommand(const std::string& program, std::chrono::milliseconds timeout) {
    return runChild({program, qf::kInterfaceName, "--ignore-errors"}, timeout);
}

}  // namespace

Status updateLinuxIpconfig(const BoardPaths& paths, const Lines& interfaceLines,
                           const Lines& resolverLines) {
    logLine("QuillFerry %s +", "updateLinuxIpconfig");
    FileBatch batch;
    bool ok = stageFile(batch, paths.interfacesFile, interfaceLines);
    if (!resolverLines.empty()) ok = stageFile(batch, paths.resolvConf, resolverLines) && ok;
    ok = commitFiles(batch) && ok;
    logLine("QuillFerry %s -", "updateLinuxIpconfig");
    return Status::written(ok);
}

ChildOutcome ifdown(const BoardPaths& paths, std::chrono::milliseconds timeout) {
    return runInterfaceCommand(paths.ifdownProgram, timeout);
}

ChildOutcome ifup(const BoardPaths& paths, std::chrono::milliseconds timeout) {
    return runInterfaceCommand(paths.ifupProgram, timeout);
}

ChildOutcome ifdownForced(const BoardPaths& paths, std::chrono::milliseconds timeout) {
    return runChild({paths.ifdownProgram, qf::kInterfaceName, "--ignore-errors", "--force"},
                    timeout);
}

int restartNetworking(const BoardPaths& paths, std::chrono::milliseconds timeout) {
    logLine("%s +", "restartNetworking");
    const int status = ifdown(paths, timeout).status | ifup(paths, timeout).status;
    logLine("%s -", "restartNetworking");
    return status;
}

void set_mtu(const std::string& mtu, const char* path) {
    const UniqueFd fd(::open(path, O_WRONLY | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.valid() && !writeAll(fd.get(), mtu)) {
        logLine("[QuillFerry] cannot set the MTU: %s", std::strerror(errno));
    }
}

Status setIpConfig(BoardContext& board, const std::string& ifname, const std::string& address,
                   const std::string& gateway, int prefixLength, const std::string& dnsFirst,
                   const std::string& dnsSecond) {
    const BoardPaths& paths = board.paths;
    logLine("[QuillFerry] config ip, ifname:%s, ip:%s, gateway: %s, dns: %s, %s, netmask: %d",
            visible(ifname).c_str(), visible(address).c_str(), visible(gateway).c_str(),
            visible(dnsFirst).c_str(), visible(dnsSecond).c_str(), prefixLength);
    const Lines interfaceLines =
        interfaceFileLines(board.net.ipType(), address, gateway, prefixLength, board.dnsSearch);
    const Lines resolverLines = resolverFileLines(board.dnsSearch, dnsFirst, dnsSecond);
    // Down with the old definition, so ifdown removes what the old file configured. Up again
    // even when a file could not be written: the board must not stay without eth0.
    const ChildOutcome down = ifdown(paths, board.ifupTimeout);
    const Status updated = updateLinuxIpconfig(paths, interfaceLines, resolverLines);
    const ChildOutcome up = ifup(paths, board.ifupTimeout);
    if (!updated.ok()) return updated;
    if (down.timedOut || up.timedOut) return Status(qf::kRetTimedOut);
    if (down.lost || up.lost) return Status(qf::kRetOutcomeLost);
    // ifdown's failure is its own business (the interface may have been down already), but
    // killed by a signal it stopped half-way, which is never a success.
    return Status(up.status != 0 || !down.killed() ? up.status : down.status);
}

Status clearNetConf(BoardContext& board) {
    const BoardPaths& paths = board.paths;
    logLine("[QuillFerry] start clear net configure");
    board.net.cleared();
    const Lines interfaceLines = clearedInterfaceLines();
    // Removed for good (their folder flushed) before the answer says so.
    std::vector<std::string> errors;
    const bool removed = removeBoardFiles({paths.hostIpConfigFile, paths.hostInfoFile}, errors);
    for (const std::string& error : errors) logLine("[QuillFerry] cannot remove %s", error.c_str());
    const ChildOutcome down = ifdown(paths, board.ifupTimeout);
    const Status updated = updateLinuxIpconfig(paths, interfaceLines, Lines());
    if (!removed || !updated.ok()) return Status::written(false);
    if (down.timedOut) return Status(qf::kRetTimedOut);
    if (down.lost) return Status(qf::kRetOutcomeLost);
    return Status(down.killed() ? down.status : 0);
}
