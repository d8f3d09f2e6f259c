// SPDX-License-Identifier: Apache-2.0
#include "netconf/host_network.h"

#include <gtest/gtest.h>

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

}  // namespace
