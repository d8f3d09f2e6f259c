#include "core/line_framer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Feeds the pieces in turn and collects every line, with what was logged.
std::vector<std::string> frame(const std::vector<std::string>& pieces, std::string& log) {
    LineFramer framer(8);
    std::vector<std::string> lines;
    testing::internal::CaptureStderr();
    for (const std::string& piece : pieces) {
        framer.feed(piece.data(), piece.size());
        for (std::string line; framer.next(line);) lines.push_back(line);
    }
    log = testing::internal::GetCapturedStderr();
    return lines;
}

using Lines = std::vector<std::string>;
using namespace std::string_literals;

TEST(LineFramer, LinesUpToTheLimitAndNeverTheTailOfALongerOne) {
    const struct {
        Lines pieces;
        Lines lines;
        const char* log;
    } cases[] = {
        {{"ab\ncd", "e\n"}, {"ab\n", "cde\n"}, ""},
        {{"1234567\n8\n"}, {"1234567\n", "8\n"}, ""},
        {{"12345678\nq\n"}, {"12345678", "q\n"}, "discarded 1 bytes after the first 8"},
        {{"0123456789", "{\"cmd\":1}", "\nq\n"},
         {"01234567", "q\n"},
         "discarded 12 bytes after the first 8"},
        // A zero byte early in the line does not hide that the line is too long.
        {{"x\0yyyyyyyyy\nq\n"s}, {"x\0yyyyyy"s, "q\n"}, "discarded 4 bytes after the first 8"},
    };
    for (const auto& c : cases) {
        std::string log;
        EXPECT_EQ(frame(c.pieces, log), c.lines) << c.pieces[0];
        // Every dropped tail is logged once; nothing else is.
        EXPECT_EQ(log.empty(), *c.log == '\0') << log;
        EXPECT_NE(log.find(c.log), std::string::npos) << log;
    }
}

}  // namespace
