// SPDX-License-Identifier: Apache-2.0
#include "core/settings.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Settings, DnsSearchDomainRefusesAnythingButAName) {
    const std::string fallback = dnsSearchDomain(nullptr);
    EXPECT_FALSE(fallback.empty());
    EXPECT_EQ(dnsSearchDomain("corp.example-1.net"), "corp.example-1.net");
    for (const char* bad : {"", "a b", "x\nup reboot", "a;b", "dom/ain", "tab\there"}) {
        EXPECT_EQ(dnsSearchDomain(bad), fallback) << bad;
    }
    EXPECT_EQ(dnsSearchDomain(std::string(253, 'a').c_str()), std::string(253, 'a'));
    EXPECT_EQ(dnsSearchDomain(std::string(254, 'a').c_str()), fallback);
}

TEST(Settings, TimeLimitIsWholeSecondsFromOneToAnHour) {
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
