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
#include "core/platform.h"
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

bool stageFile(FileBatch& batch, const char* path, const Lines& lines) {
    std::string error;
    if (batch.add(path, joinLines(lines), std::nullopt, error)) return true;
    logWriteFailure(error);
    return false;
}

ChildOutcome runInterfaceCommand(const char* program, std::chrono::milliseconds timeout) {
    return runChild({program, qf::kInterfaceName, "--ignore-errors"}, timeout);
}

}  // namespace

int updateLinuxIpconfig(const Lines& interfaceLines, const Lines& resolverLines) {
    logLine("QuillFerry %s +", "updateLinuxIpconfig");
    FileBatch batch;
    bool ok = stageFile(batch, qf::kInterfacesFile, interfaceLines);
    if (!resolverLines.empty()) ok = stageFile(batch, qf::kResolvConf, resolverLines) && ok;
    ok = commitFiles(batch) && ok;
    logLine("QuillFerry %s -", "updateLinuxIpconfig");
    return ok ? 0 : qf::kRetWriteFailed;
}

ChildOutcome ifdown(std::chrono::milliseconds timeout, const char* program) {
    return runInterfaceCommand(program, timeout);
}

ChildOutcome ifup(std::chrono::milliseconds timeout, const char* program) {
    return runInterfaceCommand(program, timeout);
}

int restartNetworking(std::chrono::milliseconds timeout, const char* ifdownProgram,
                      const char* ifupProgram) {
    logLine("%s +", "restartNetworking");
    const int status = ifdown(timeout, ifdownProgram).status | ifup(timeout, ifupProgram).status;
    logLine("%s -", "restartNetworking");
    return status;
}

void set_mtu(const std::string& mtu, const char* path) {
    const UniqueFd fd(::open(path, O_WRONLY | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.valid() && !writeAll(fd.get(), mtu)) {
        logLine("[QuillFerry] cannot set the MTU: %s", std::strerror(errno));
    }
}

std::chrono::seconds ifupTimeout(const char* value, bool& valid) {
    valid = true;
    if (value == nullptr) return std::chrono::seconds(qf::kDefaultIfupTimeoutSec);
    char* end = nullptr;
    errno = 0;
    const long seconds = std::strtol(value, &end, 10);
    valid = errno == 0 && end != value && *end == '\0' && seconds >= 1 &&
            seconds <= qf::kMaxIfupTimeoutSec && std::isdigit(static_cast<unsigned char>(*value));
    return std::chrono::seconds(valid ? seconds : qf::kDefaultIfupTimeoutSec);
}

std::string dnsSearchDomain(const char* value) {
    if (value == nullptr || *value == '\0' || std::strlen(value) > 253)
        return qf::kDefaultDnsSearch;
    for (const char* p = value; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (std::isalnum(c) == 0 && c != '-' && c != '.') return qf::kDefaultDnsSearch;
    }
    return value;
}

int Platform::setIpConfig(const std::string& ifname, const std::string& address,
                          const std::string& gateway, int prefixLength, const std::string& dnsFirst,
                          const std::string& dnsSecond) {
    logLine("[QuillFerry] config ip, ifname:%s, ip:%s, gateway: %s, dns: %s, %s, netmask: %d",
            visible(ifname).c_str(), visible(address).c_str(), visible(gateway).c_str(),
            visible(dnsFirst).c_str(), visible(dnsSecond).c_str(), prefixLength);
    const Lines interfaceLines =
        interfaceFileLines(net_.ipType(), address, gateway, prefixLength, dnsSearch_);
    const Lines resolverLines = resolverFileLines(dnsSearch_, dnsFirst, dnsSecond);
    // Down with the old definition, so ifdown removes what the old file configured. Up again
    // even when a file could not be written: the board must not stay without eth0.
    const ChildOutcome down = ifdown(ifupTimeout_);
    const int updated = updateLinuxIpconfig(interfaceLines, resolverLines);
    const ChildOutcome up = ifup(ifupTimeout_);
    if (updated != 0) return updated;
    if (down.timedOut || up.timedOut) return qf::kRetTimedOut;
    if (down.lost || up.lost) return qf::kRetOutcomeLost;
    return up.status;
}

int Platform::clearNetConf() {
    logLine("[QuillFerry] start clear net configure");
    net_.cleared();
    const Lines interfaceLines = clearedInterfaceLines();
    bool removed = true;
    for (const char* path : {qf::kHostIpConfigFile, qf::kHostInfoFile}) {
        std::string error;
        if (!removeBoardFile(path, error)) {
            logLine("[QuillFerry] cannot remove %s", error.c_str());
            removed = false;
        }
    }
    const ChildOutcome down = ifdown(ifupTimeout_);
    const int updated = updateLinuxIpconfig(interfaceLines, Lines());
    if (!removed || updated != 0) return qf::kRetWriteFailed;
    if (down.timedOut) return qf::kRetTimedOut;
    return down.lost ? qf::kRetOutcomeLost : 0;
}
