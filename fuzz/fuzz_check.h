// SPDX-License-Identifier: Apache-2.0
// What the fuzzers share: a finding is reported with what broke and aborts, which libFuzzer
// records as a crash with its input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

[[noreturn]] inline void fuzzFinding(const char* what, const std::string& text) {
    std::fprintf(stderr, "finding (%s): %s\n", what, text.c_str());
    std::abort();
}
