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

// Runs `run(out, err)` with both streams in memory.
template <typename Run>
Captured capture(Run run) {
    char* out = nullptr;
    char* err = nullptr;
    std::size_t outSize = 0;
    std::size_t errSize = 0;
    std::FILE* outFile = ::open_memstream(&out, &outSize);
    std::FILE* errFile = ::open_memstream(&err, &errSize);
    Captured c;
    c.status = run(outFile, errFile);
    std::fclose(outFile);
    std::fclose(errFile);
    c.out.assign(out, outSize);
    c.err.assign(err, errSize);
    std::free(out);
    std::free(err);
    return c;
}
