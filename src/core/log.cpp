#include "core/log.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

void writeLine(std::FILE* stream, const char* format, std::va_list args) {
    std::va_list again;
    va_copy(again, args);
    char small[512];
    const int n = std::vsnprintf(small, sizeof(small), format, args);
    if (n < 0) {
        va_end(again);
        return;
    }
    std::string line;
    if (static_cast<std::size_t>(n) < sizeof(small)) {
        line.assign(small, static_cast<std::size_t>(n));
    } else {
        line.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(line.data(), line.size(), format, again);
        line.resize(static_cast<std::size_t>(n));
    }
    va_end(again);
    line += '\n';
    // A log that cannot be written (a closed pipe) must not stop the daemon.
    std::fwrite(line.data(), 1, line.size(), stream);
}

}  // namespace

void logLine(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    writeLine(stderr, format, args);
    va_end(args);
}

void logOutput(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    writeLine(stdout, format, args);
    va_end(args);
}

void setLogBuffering() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
}
