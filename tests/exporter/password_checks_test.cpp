// SPDX-License-Identifier: Apache-2.0
// Basic authentication: bcrypt on a thread of its own, passes remembered, a bounded queue.
#include "exporter/password_checks.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <map>

#include "exporter_process.h"

namespace {

// Waits for the verdict of `ticket`.
bool verdict(exporter::PasswordChecks& checks, std::uint64_t ticket) {
    for (int i = 0; i < 100; ++i) {
        pollfd p = {checks.fd(), POLLIN, 0};
        ::poll(&p, 1, 100);
        for (const auto& [t, passed] : checks.results()) {
            if (t == ticket) return passed;
        }
    }
    ADD_FAILURE() << "no verdict for " << ticket;
    return false;
}

TEST(ExporterPasswords, CheckedAwayFromTheLoopAndRememberedOncePassed) {
    using Verdict = exporter::PasswordChecks::Verdict;
    exporter::PasswordChecks checks({{"prometheus", bcrypt("s3cret")}, {"other", bcrypt("x")}});
    const struct {
        const char* user;
        std::string password;
        bool passes;
    } cases[] = {
        {"prometheus", "s3cret", true},  {"prometheus", "s3cre", false},
        {"prometheus", "S3cret", false}, {"nobody", "s3cret", false},
        {"other", "s3cret", false},      {"prometheus", "", false},
    };
    std::uint64_t ticket = 1;
    for (const auto& c : cases) {
        ASSERT_EQ(checks.check(c.user, c.password, ticket), Verdict::Pending) << c.user;
        EXPECT_EQ(verdict(checks, ticket), c.passes) << c.user << " " << c.password;
        ++ticket;
    }
    // Passed once: known at once from then on; a failure is checked again each time.
    EXPECT_EQ(checks.check("prometheus", "s3cret", ticket++), Verdict::Allowed);
    EXPECT_EQ(checks.check("prometheus", "s3cre", ticket), Verdict::Pending);
    EXPECT_FALSE(verdict(checks, ticket++));
    // A zero byte would end the password where bcrypt reads it.
    EXPECT_EQ(checks.check("prometheus", std::string("s3cret\0x", 8), ticket++), Verdict::Denied);

    // At most kMaxWaiting wait; more are refused rather than queued.
    int busy = 0;
    for (int i = 0; i < 100; ++i) {
        if (checks.check("nobody", "x" + std::to_string(i), ticket++) == Verdict::Busy) ++busy;
    }
    EXPECT_GE(busy, 100 - static_cast<int>(exporter::PasswordChecks::kMaxWaiting) - 2);
}

}  // namespace
