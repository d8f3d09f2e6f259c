// SPDX-License-Identifier: Apache-2.0
#include "core/line_framer.h"

#include <algorithm>
#include <cstdio>

#include "core/log.h"

bool LineFramer::next(std::string& line) {
    if (discarding_) {
        const std::size_t nl = pending_.find('\n');
        if (nl == std::string::npos) {
            discarded_ += pending_.size();
            pending_.clear();
            return false;
        }
        logLine("[QuillFerry] overlong line: discarded %zu bytes after the first %zu",
                discarded_ + nl + 1, maxLine_);
        pending_.erase(0, nl + 1);
        discarding_ = false;
        discarded_ = 0;
    }
    const std::size_t nl = pending_.find('\n');
    std::size_t take = 0;
    if (nl != std::string::npos && nl < maxLine_) {
        take = nl + 1;
    } else if (pending_.size() >= maxLine_) {
        take = maxLine_;
        discarding_ = true;
    } else {
        return false;
    }
    line.assign(pending_, 0, take);
    pending_.erase(0, take);
    return true;
}

void LineFramer::reset() {
    pending_.clear();
    discarding_ = false;
    discarded_ = 0;
}
