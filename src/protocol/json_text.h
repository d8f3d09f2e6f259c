// SPDX-License-Identifier: Apache-2.0
// Reading JSON text within bounds, never throwing: the daemon's requests and record file, and
// what the controller's client reads (replies, the line it is told to send, inventories).
#pragma once

#include <json/json.h>

#include <string>

#include "protocol/wire.h"

// Deepest nesting of arrays and objects in a JSON text, and about how many values it holds
// (never fewer than it does); brackets and commas inside strings and comments do not count.
struct JsonShape {
    int depth = 0;
    int values = 0;
};
JsonShape jsonShape(const std::string& text);

// Why `text` is beyond `limits` ("nested deeper than 64 levels", "more than 256 values"),
// empty when it is within them.
std::string shapeRefusal(const std::string& text, const JsonShape& limits);

// What a request may hold; the record file holds one request a level deeper, and may hold
// a few.
inline constexpr JsonShape kRequestLimits{qf::kMaxJsonDepth, qf::kMaxJsonValues};
inline constexpr JsonShape kRecordLimits{qf::kMaxJsonDepth + 1, 4 * qf::kMaxJsonValues};

// Parses one JSON text the way requests and the record file are read: comments allowed
// (and dropped), any value as the root, within `limits`. Never throws. On failure `root` is
// null, and `refusal` says why when the text was refused for its shape (or the reader gave
// up) rather than for its syntax.
bool parseJson(const std::string& text, Json::Value& root, std::string* refusal = nullptr,
               const JsonShape& limits = kRequestLimits);

// Parses one JSON text as the controller's client reads what a board, an operator or an
// inventory gives it: strictly (no comments, an object or array as the root, nothing after
// it, no member named twice), within `limits`, with each value's offsets kept. Never
// throws. On failure `root` is null and `error` says why: the shape, or the reader's first
// complaint (one line).
bool parseStrictJson(const std::string& text, Json::Value& root, std::string& error,
                     const JsonShape& limits);
