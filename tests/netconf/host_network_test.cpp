#include "netconf/host_network.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "captured_log.h"
#include "scratch_dir.h"

namespace {

TEST(HostNetworkFiles, ResolverFileListsOnlyGivenNameServers) {
    const char* const cases[][3] = {
        {"1.1.1.1", "", "nameserver 1.1.1.1\n"},
        {"", "fd00::53", "nameserver fd00::53\n"},
        {"1.1.1.1", "8.8.4.4", "nameserver 1.1.1.1\nnameserver 8.8.4.4\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(joinLines(resolverFileLines("s.example", c[0], c[1])),
                  std::string("domain s.example\noptions rotate\n") + c[2])
            << c[0] << "|" << c[1];
    }
}

TEST(HostNetworkFiles, DnsSearchDomainRefusesAnythingButAName) {
    const std::string fallback = dnsSearchDomain(nullptr);
    EXPECT_FALSE(fallback.empty());
    EXPECT_EQ(dnsSearchDomain("corp.example-1.net"), "corp.example-1.net");
    for (const char* bad : {"", "a b", "x\nup reboot", "a;b", "dom/ain", "tab\there"}) {
        EXPECT_EQ(dnsSearchDomain(bad), fallback) << bad;
    }
    EXPECT_EQ(dnsSearchDomain(std::string(253, 'a').c_str()), std::string(253, 'a'));
    EXPECT_EQ(dnsSearchDomain(std::string(254, 'a').c_str()), fallback);
}

using InterfaceCommands = ScratchDir;

TEST_F(InterfaceCommands, RestartRunsDownThenUpAndJoinsTheirStatuses) {
    put("ifdown", "#!/bin/sh\necho \"down $*\" >>\"${0%/*}/calls\"; exit 1\n");
    put("ifup", "#!/bin/sh\necho \"up $*\" >>\"${0%/*}/calls\"; exit 2\n");
    for (const char* name : {"ifdown", "ifup"}) ASSERT_EQ(::chmod(path(name).c_str(), 0755), 0);
    captureLog();
    EXPECT_EQ(
        restartNetworking(std::chrono::seconds(10), path("ifdown").c_str(), path("ifup").c_str()),
        (1 << 8) | (2 << 8));
    EXPECT_EQ(capturedLog(), "restartNetworking +\nrestartNetworking -\n");
    EXPECT_EQ(contents("calls"), "down eth0 --ignore-errors\nup eth0 --ignore-errors\n");
}

TEST_F(InterfaceCommands, MtuIsWrittenAsGivenAndTimeLimitIsWholeSeconds) {
    put("mtu", "1500\n");
    set_mtu("9000", path("mtu").c_str());
    EXPECT_EQ(contents("mtu"), "9000");
    set_mtu("1", path("missing/mtu").c_str());

    const struct {
        const char* value;
        long seconds;
        bool valid;
    } limits[] = {{nullptr, 120, true}, {"5", 5, true},       {"3600", 3600, true},
                  {"0", 120, false},    {"3601", 120, false}, {"5s", 120, false},
                  {"-5", 120, false},   {"", 120, false},     {"+5", 120, false}};
    for (const auto& l : limits) {
        bool valid = false;
        EXPECT_EQ(ifupTimeout(l.value, valid).count(), l.seconds) << (l.value ? l.value : "unset");
        EXPECT_EQ(valid, l.valid) << (l.value ? l.value : "unset");
    }
}

}  // namespace
