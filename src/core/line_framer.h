// SPDX-License-Identifier: Apache-2.0
// Cuts the bytes that arrive on the serial line into request lines. A line longer than the
// limit yields its head, and the rest of it, up to and including its newline, is dropped
// (and logged) whatever bytes it holds: the tail of an overlong line is never a request.
#pragma once

#include <cstddef>
#include <string>

class LineFramer {
public:
    explicit LineFramer(std::size_t maxLine) : maxLine_(maxLine) {}

    void feed(const char* data, std::size_t size) { pending_.append(data, size); }

    // The next line, its newline included (zero bytes and all), or the first `maxLine` bytes
    // of a longer one. False until a whole line, or `maxLine` bytes, have arrived.
    bool next(std::string& line);

    // Forgets everything, as for a freshly opened device.
    void reset();

private:
    std::size_t maxLine_;
    std::string pending_;
    bool discarding_ = false;
    std::size_t discarded_ = 0;
};
