// SPDX-License-Identifier: Apache-2.0
#include "client/request.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

TEST(ClientRequest, FreshUuidsAreRandomVersionFour) {
    const std::regex v4("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    const std::string first = qfclient::newUuid();
    EXPECT_TRUE(std::regex_match(first, v4)) << first;
    EXPECT_NE(qfclient::newUuid(), first);
}

}  // namespace
