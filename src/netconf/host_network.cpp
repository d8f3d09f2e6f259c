#include "netconf/host_network.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/atomic_file.h"
#include "core/constants.h"
#include "core/platform.h"

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

void replaceFile(const char* path, const Lines& lines) {
    if (!writeFileAtomic(path, joinLines(lines))) {
        std::fprintf(stderr, "[QuillFerry] cannot write %s: %s\n", path, std::strerror(errno));
    }
}

int runInterfaceCommand(const char* program) {
    const std::string command =
        std::string(program) + " " + qf::kInterfaceName + " --ignore-errors";
    return std::system(command.c_str());
}

}  // namespace

int updateLinuxIpconfig(const Lines& interfaceLines, const Lines& resolverLines) {
    std::fprintf(stderr, "QuillFerry %s +\n", "updateLinuxIpconfig");
    replaceFile(qf::kInterfacesFile, interfaceLines);
    if (!resolverLines.empty()) replaceFile(qf::kResolvConf, resolverLines);
    std::fprintf(stderr, "QuillFerry %s -\n", "updateLinuxIpconfig");
    return 0;
}

int ifdown() {
    return runInterfaceCommand(qf::kIfdownProgram);
}
int ifup() {
    return runInterfaceCommand(qf::kIfupProgram);
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
    std::fprintf(
        stderr, "[QuillFerry] config ip, ifname:%s, ip:%s, gateway: %s, dns: %s, %s, netmask: %d\n",
        ifname.c_str(), address.c_str(), gateway.c_str(), dnsFirst.c_str(), dnsSecond.c_str(),
        prefixLength);
    const Lines interfaceLines =
        interfaceFileLines(ipType, address, gateway, prefixLength, dnsSearch);
    const Lines resolverLines = resolverFileLines(dnsSearch, dnsFirst, dnsSecond);
    // Down with the old definition, so ifdown removes what the old file configured.
    ifdown();
    const int updated = updateLinuxIpconfig(interfaceLines, resolverLines);
    return updated | ifup();
}

int Platform::clearNetConf() {
    std::fprintf(stderr, "[QuillFerry] start clear net configure\n");
    netConfState = 2;
    const Lines interfaceLines = clearedInterfaceLines();
    std::remove(qf::kHostIpConfigFile);
    std::remove(qf::kHostInfoFile);
    ifdown();
    return updateLinuxIpconfig(interfaceLines, Lines());
}
