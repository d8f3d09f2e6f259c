#include "core/line_framer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "captured_log.h"

namespace {

using Lines = std::vector<std::string>;

// Lines split over reads are joined; the tail of an overlong line, over however many reads,
// is dropped and logged once with its size. (The line limit's edge and a zero byte in a line
// are checked over the wire.)
TEST(LineFramer, LinesUpToTheLimitAndNeverTheTailOfALongerOne) {
    const struct {
        Lines pieces;
        Lines lines;
        const char* log;
    } cases[] = {
        {{"ab\ncd", "e\n"}, {"ab\n", "cde\n"}, ""},
        {{"0123456789", "{\"cmd\":1}", "\nq\n"},
         {"01234567", "q\n"},
         "discarded 12 bytes after the first 8"},
    };
    for (const auto& c : cases) {
        LineFramer framer(8);
        Lines lines;
        captureLog();
        for (const std::string& piece : c.pieces) {
            framer.feed(piece.data(), piece.size());
            for (std::string line; framer.next(line);) lines.push_back(line);
        }
        const std::string log = capturedLog();
        EXPECT_EQ(lines, c.lines) << c.pieces[0];
        EXPECT_EQ(log.empty(), *c.log == '\0') << log;
        EXPECT_NE(log.find(c.log), std::string::npos) << log;
    }
}

}  // namespace
