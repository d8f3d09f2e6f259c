// SPDX-License-Identifier: Apache-2.0
// UTF-8 as the board's text files and its log take it: well-formed, and without the
// characters that end, break or hide a line.
#pragma once

#include <cstddef>
#include <string_view>

// The code point that starts at `pos`, with `pos` moved past it; -1 for a byte that does not
// start a well-formed sequence (a stray continuation byte, a cut sequence, an overlong form,
// a surrogate, a value past U+10FFFF), with `pos` moved past that one byte.
long nextCodePoint(std::string_view text, std::size_t& pos);

// C0 controls (a zero byte included), DEL, C1 controls, and the line and paragraph
// separators U+2028 and U+2029.
bool isControlCharacter(long codePoint);

// True when `text`, on its whole length, is well-formed UTF-8 without control characters.
bool isPlainText(std::string_view text);
