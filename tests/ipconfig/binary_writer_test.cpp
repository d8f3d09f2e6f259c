#include "ipconfig/binary_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

template <std::size_t N>
Bytes bytes(const char (&literal)[N]) {
    return Bytes(literal, literal + N - 1);
}

Bytes written(const Bytes& buffer, const BinaryWriter& writer) {
    return Bytes(buffer.begin(), buffer.begin() + writer.bytes_written());
}

// Big-endian records are checked byte for byte by the record tests; the other order, and
// text with zero bytes in it, only here.
TEST(BinaryWriter, LittleEndianIntegersAndRawText) {
    Bytes buffer(16, 0xAA);
    BinaryWriter writer(buffer.begin(), buffer.end());
    writer.set_byte_order(BinaryWriter::LittleEndian);
    writer.write_uint16(0x0102);
    writer.write_uint32(3);
    writer.set_byte_order(BinaryWriter::BigEndian);
    writer.write_string_with_size(std::string("a\0b", 3));
    EXPECT_EQ(written(buffer, writer), bytes("\x02\x01\x03\x00\x00\x00\x00\x03"
                                             "a\0b"));
    EXPECT_EQ(buffer.back(), 0xAA);
    EXPECT_EQ(swapUint32(0x01020304u), 0x04030201u);
}

// Each case fills a 4096-byte range up to `room` free bytes, then tries one more write.
TEST(BinaryWriter, BoundsRefuseWholeWritesOnly) {
    struct Case {
        const char* name;
        std::size_t room;
        std::function<void(BinaryWriter&)> op;
        bool throws;
        std::int64_t advance;  // how far the position moved, thrown or not
    } const cases[] = {
        {"uint32 exact fit", 4, [](BinaryWriter& w) { w.write_uint32(7); }, false, 4},
        {"uint32 with 3 left", 3, [](BinaryWriter& w) { w.write_uint32(7); }, true, 0},
        {"uint16 when full", 0, [](BinaryWriter& w) { w.write_uint16(7); }, true, 0},
        {"empty write when full", 0, [](BinaryWriter& w) { w.write_string("", 0); }, false, 0},
        {"count fits, text does not", 3,
         [](BinaryWriter& w) { w.write_string_with_size(std::string("ab")); }, true, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes buffer(4096, 0);
        BinaryWriter writer(buffer.begin(), buffer.end());
        const std::string filler(buffer.size() - c.room, 'f');
        writer.write_string(filler.data(), filler.size());
        if (c.throws) {
            try {
                c.op(writer);
                ADD_FAILURE() << "no exception";
            } catch (const std::out_of_range& e) {
                EXPECT_STREQ(e.what(), "Write buffer exhausted");
            }
        } else {
            c.op(writer);
        }
        EXPECT_EQ(writer.bytes_written() - static_cast<std::int64_t>(filler.size()), c.advance);
        // A refused write leaves nothing behind its last accepted byte.
        EXPECT_EQ(std::count(buffer.begin() + writer.bytes_written(), buffer.end(), 0),
                  static_cast<std::ptrdiff_t>(buffer.size()) - writer.bytes_written());
    }
}

TEST(BinaryWriter, RefusesTextTooLongToCount) {
    Bytes buffer(70000, 0);
    BinaryWriter writer(buffer.begin(), buffer.end());
    EXPECT_THROW(writer.write_string_with_size(std::string(65536, 'b')), std::length_error);
    EXPECT_EQ(writer.bytes_written(), 0);
    EXPECT_EQ(buffer[0], 0);
    writer.write_string_with_size(std::string(65535, 'a'));
    EXPECT_EQ(writer.bytes_written(), 65537);
}

}  // namespace
