// SPDX-License-Identifier: Apache-2.0
#include "ipconfig/binary_writer.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// Little-endian and text with zero bytes (big-endian records are the record tests'); a write
// that does not fit, or a text too long for its 16-bit count, is refused whole.
TEST(BinaryWriter, BothByteOrdersAndWholeWritesOnly) {
    Bytes buffer(4096, 0);
    BinaryWriter writer(buffer.begin(), buffer.end());
    writer.set_byte_order(BinaryWriter::LittleEndian);
    writer.write_uint16(0x0102);
    writer.write_uint32(3);
    writer.set_byte_order(BinaryWriter::BigEndian);
    writer.write_string_with_size(std::string("a\0b", 3));
    const char expected[] =
        "\x02\x01\x03\x00\x00\x00\x00\x03"
        "a\0b";
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + writer.bytes_written()),
              Bytes(expected, expected + sizeof expected - 1));

    const std::string filler(static_cast<std::size_t>(4094 - writer.bytes_written()), 'f');
    writer.write_string(filler.data(), filler.size());
    try {
        writer.write_uint32(0xFFFFFFFFu);
        ADD_FAILURE() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "Write buffer exhausted");
    }
    EXPECT_EQ(writer.bytes_written(), 4094);
    EXPECT_EQ(buffer[4094], 0);
    writer.write_uint16(0xFFFF);
    writer.write_string("", 0);
    EXPECT_EQ(writer.bytes_written(), 4096);
    EXPECT_THROW(writer.write_uint16(1), std::out_of_range);
    EXPECT_THROW(writer.write_string_with_size(std::string(65536, 'b')), std::length_error);
}

}  // namespace
