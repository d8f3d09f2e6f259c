// SPDX-License-Identifier: Apache-2.0
#include "core/log.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Each message is one line whatever its values hold: what could end, break or hide a line,
// and bytes that are not UTF-8, are written escaped; the rest as it is.
TEST(Log, EveryMessageIsExactlyOneLine) {
    const struct {
        std::string message;
        std::string line;
    } cases[] = {
        {"idc:dc1\n[QuillFerry] fake", "idc:dc1\\n[QuillFerry] fake\n"},
        {"a\tb\rc\x1b[2J\x7f", "a\\tb\\rc\\x1b[2J\\x7f\n"},
        {"c1:\xc2\x85 ls:\xe2\x80\xa8 ps:\xe2\x80\xa9", "c1:\\u0085 ls:\\u2028 ps:\\u2029\n"},
        {"bad:\xff \xc2 \xc0\xaf \xed\xa0\x80", "bad:\\xff \\xc2 \\xc0\\xaf \\xed\\xa0\\x80\n"},
        {"kept: \xc3\xa9 \xc2\xa0 \xe2\x80\xa7 \xf0\x9f\x90\xa7 \\n",
         "kept: \xc3\xa9 \xc2\xa0 \xe2\x80\xa7 \xf0\x9f\x90\xa7 \\n\n"},
        {"", "\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(logText(c.message), c.line) << c.message;
    // A value with a zero byte shows it, rather than ending there.
    EXPECT_EQ(visible(std::string("dc1\0,x=y", 8)), "dc1\\x00,x=y");
}

}  // namespace
