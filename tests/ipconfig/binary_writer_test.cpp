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

TEST(BinaryWriter, IntegersInEitherOrder) {
    struct Case {
        BinaryWriter::Order order;
        bool wide;
        unsigned int value;
        Bytes expected;
    } const cases[] = {
        {BinaryWriter::BigEndian, false, 0x0102, bytes("\x01\x02")},
        {BinaryWriter::LittleEndian, false, 0x0102, bytes("\x02\x01")},
        {BinaryWriter::BigEndian, false, 0x00FF, bytes("\x00\xFF")},
        {BinaryWriter::BigEndian, true, 258, bytes("\x00\x00\x01\x02")},
        {BinaryWriter::LittleEndian, true, 3, bytes("\x03\x00\x00\x00")},
        {BinaryWriter::BigEndian, true, 0xFF000080u, bytes("\xFF\x00\x00\x80")},
    };
    for (const Case& c : cases) {
        Bytes buffer(8, 0xAA);
        BinaryWriter writer(buffer.begin(), buffer.end());
        writer.set_byte_order(c.order);
        if (c.wide) {
            writer.write_uint32(c.value);
        } else {
            writer.write_uint16(static_cast<unsigned short>(c.value));
        }
        EXPECT_EQ(written(buffer, writer), c.expected) << c.value << " order " << c.order;
        EXPECT_EQ(buffer.back(), 0xAA);
    }
    EXPECT_EQ(swapUint32(0x01020304u), 0x04030201u);
}

TEST(BinaryWriter, CountedStrings) {
    const std::string threeHundred(300, 'x');
    struct Case {
        std::string text;
        Bytes count;
    } const cases[] = {
        {"abc", bytes("\x00\x03")},
        {"", bytes("\x00\x00")},
        {threeHundred, bytes("\x01\x2C")},
        {std::string("a\0b", 3), bytes("\x00\x03")},  // zero bytes are data too
    };
    for (const Case& c : cases) {
        Bytes buffer(512, 0);
        BinaryWriter writer(buffer.begin(), buffer.end());
        writer.set_byte_order(BinaryWriter::BigEndian);
        writer.write_string_with_size(c.text);
        Bytes expected = c.count;
        expected.insert(expected.end(), c.text.begin(), c.text.end());
        EXPECT_EQ(written(buffer, writer), expected) << c.text.size();
    }
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
