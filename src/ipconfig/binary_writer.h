// SPDX-License-Identifier: Apache-2.0
// Writes integers and byte strings, in a chosen byte order, into a fixed byte range that
// the caller owns. The range never grows: a write that does not fit is refused whole.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Byte reversal of 16- and 32-bit values: 0x0102 <-> 0x0201.
unsigned short swapUint16(unsigned short value);
unsigned int swapUint32(unsigned int value);

class BinaryWriter {
public:
    using Iterator = std::vector<unsigned char>::iterator;

    enum Order : std::uint32_t {
        BigEndian = 0,
        LittleEndian = 1,
    };

    // Writes go to [first, last). The vector must outlive the writer and keep its size.
    // Integers are written in the host's order until set_byte_order says otherwise.
    BinaryWriter(Iterator first, Iterator last);

    // Applies to later integer writes only.
    void set_byte_order(Order newOrder) { order = newOrder; }

    // Every write below throws std::out_of_range("Write buffer exhausted") when it does
    // not fit; nothing is written then and the position stays where it was.
    void write_uint16(unsigned short value);
    void write_uint32(unsigned int value);
    // Copies the bytes as they are: no terminator, no byte-order change.
    void write_string(const char* data, unsigned long length);
    // A 16-bit byte count in the current order, then the bytes. The count and the bytes are
    // two writes: when only the count fits, the count stays written and the call throws.
    // A text longer than 65535 bytes cannot be counted in 16 bits and is refused with
    // std::length_error before anything is written.
    void write_string_with_size(const char* data, unsigned long length);
    void write_string_with_size(const std::string& text);

    std::int64_t bytes_written() const { return position - start; }

private:
    // Throws when `length` more bytes would run past `limit`.
    void ensureRoom(unsigned long length) const;

    Iterator start;
    Iterator position;
    Iterator limit;
    Order order;
};
