// SPDX-License-Identifier: Apache-2.0
// What a function that writes to two streams wrote, for tests of quillferry-ctl's commands.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

struct Captured {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs `run(out, err)` with both streams in memory, or with `out` on /dev/full (every write
// fails with ENOSPC) when `fullOut`.
template <typename Run>
Captured capture(Run run, bool fullOut = false) {
    char* text[2] = {nullptr, nullptr};
    std::size_t size[2] = {0, 0};
    std::FILE* out = fullOut ? std::fopen("/dev/full", "w") : ::open_memstream(&text[0], &size[0]);
    std::FILE* err = ::open_memstream(&text[1], &size[1]);
    Captured c;
    if (out != nullptr && err != nullptr) c.status = run(out, err);
    for (std::FILE* f : {out, err}) {
        if (f != nullptr) std::fclose(f);
    }
    c.out.assign(text[0] != nullptr ? text[0] : "", size[0]);
    c.err.assign(text[1] != nullptr ? text[1] : "", size[1]);
    std::free(text[0]);
    std::free(text[1]);
    return c;
}
