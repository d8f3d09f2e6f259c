// SPDX-License-Identifier: Apache-2.0
#include "protocol/utf8.h"

namespace {

bool isContinuation(unsigned char byte) {
    return (byte & 0xC0U) == 0x80U;
}

}  // namespace

long nextCodePoint(std::string_view text, std::size_t& pos) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    std::size_t length = 0;
    long cp = 0;
    long least = 0;  // the smallest value of that length: anything below is overlong
    if (lead < 0x80U) {
        ++pos;
        return lead;
    } else if ((lead & 0xE0U) == 0xC0U) {
        length = 2;
        cp = lead & 0x1FU;
        least = 0x80;
    } else if ((lead & 0xF0U) == 0xE0U) {
        length = 3;
        cp = lead & 0x0FU;
        least = 0x800;
    } else if ((lead & 0xF8U) == 0xF0U) {
        length = 4;
        cp = lead & 0x07U;
        least = 0x10000;
    } else {
        ++pos;
        return -1;
    }
    if (text.size() - pos < length) {
        ++pos;
        return -1;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[pos + i]);
        if (!isContinuation(byte)) {
            ++pos;
            return -1;
        }
        cp = (cp << 6) | (byte & 0x3FU);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++pos;
        return -1;
    }
    pos += length;
    return cp;
}

bool isControlCharacter(long codePoint) {
    return codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F) || codePoint == 0x2028 ||
           codePoint == 0x2029;
}

bool isPlainText(std::string_view text) {
    for (std::size_t pos = 0; pos < text.size();) {
        const long cp = nextCodePoint(text, pos);
        if (cp < 0 || isControlCharacter(cp)) return false;
    }
    return true;
}
