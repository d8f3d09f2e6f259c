// SPDX-License-Identifier: Apache-2.0
#include "ipconfig/binary_writer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace {

// The host's order is read from memory rather than assumed, so the same code writes the
// same bytes on the board and on a build machine.
bool is_little_endian() {
    const std::uint32_t one = 1;
    unsigned char first = 0;
    std::memcpy(&first, &one, 1);
    return first == 1;
}

}  // namespace

unsigned short swapUint16(unsigned short value) {
    return static_cast<unsigned short>(((value & 0x00FFu) << 8) | ((value & 0xFF00u) >> 8));
}

unsigned int swapUint32(unsigned int value) {
    return ((value & 0x000000FFu) << 24) | ((value & 0x0000FF00u) << 8) |
           ((value & 0x00FF0000u) >> 8) | ((value & 0xFF000000u) >> 24);
}

BinaryWriter::BinaryWriter(Iterator first, Iterator last)
    : start(first),
      position(first),
      limit(last),
      order(is_little_endian() ? LittleEndian : BigEndian) {}

void BinaryWriter::ensureRoom(unsigned long length) const {
    // Compared as a distance: forming position + length past the end would be undefined.
    if (length > static_cast<unsigned long>(limit - position)) {
        throw std::out_of_range("Write buffer exhausted");
    }
}

void BinaryWriter::write_uint16(unsigned short value) {
    ensureRoom(sizeof value);
    if ((order == LittleEndian) != is_little_endian()) value = swapUint16(value);
    unsigned char bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    position = std::copy(bytes, bytes + sizeof value, position);
}

void BinaryWriter::write_uint32(unsigned int value) {
    static_assert(sizeof(unsigned int) == 4, "the record format needs 32-bit integers");
    ensureRoom(sizeof value);
    if ((order == LittleEndian) != is_little_endian()) value = swapUint32(value);
    unsigned char bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    position = std::copy(bytes, bytes + sizeof value, position);
}

void BinaryWriter::write_string(const char* data, unsigned long length) {
    ensureRoom(length);
    // std::copy rather than memcpy: a zero-length write at the very end must not touch
    // the element behind `limit`.
    position = std::copy(data, data + length, position);
}

void BinaryWriter::write_string_with_size(const char* data, unsigned long length) {
    if (length > std::numeric_limits<unsigned short>::max()) {
        throw std::length_error("String too long for its 16-bit length prefix");
    }
    write_uint16(static_cast<unsigned short>(length));
    write_string(data, length);
}

void BinaryWriter::write_string_with_size(const std::string& text) {
    write_string_with_size(text.data(), text.size());
}
