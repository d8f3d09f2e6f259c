// SPDX-License-Identifier: Apache-2.0
#include "protocol/json_text.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <utility>

JsonShape jsonShape(const std::string& text) {
    enum { Value, String, Escape, LineComment, BlockComment } state = Value;
    int depth = 0;
    JsonShape shape;
    // Every value but the first is either opened by a bracket or follows a comma: counting
    // both gives the number of values (an empty array or object counts one more).
    shape.values = 1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        switch (state) {
            case Value:
                if (c == '"') {
                    state = String;
                } else if (c == '/' && (next == '/' || next == '*')) {
                    state = next == '/' ? LineComment : BlockComment;
                    ++i;
                } else if (c == '[' || c == '{') {
                    shape.depth = std::max(shape.depth, ++depth);
                    ++shape.values;
                } else if (c == ',') {
                    ++shape.values;
                } else if ((c == ']' || c == '}') && depth > 0) {
                    --depth;
                }
                break;
            case String:
                if (c == '\\') state = Escape;
                if (c == '"') state = Value;
                break;
            case Escape:
                state = String;
                break;
            case LineComment:
                if (c == '\n' || c == '\r') state = Value;
                break;
            case BlockComment:
                if (c == '*' && next == '/') {
                    state = Value;
                    ++i;
                }
                break;
        }
    }
    return shape;
}

std::string shapeRefusal(const std::string& text, const JsonShape& limits) {
    const JsonShape shape = jsonShape(text);
    if (shape.depth > limits.depth)
        return "nested deeper than " + std::to_string(limits.depth) + " levels";
    if (shape.values > limits.values)
        return "more than " + std::to_string(limits.values) + " values";
    return std::string();
}

namespace {

// The reader's first complaint as one line of at most 200 bytes: "* Line 1, Column 9 Missing
// '}' or object member name".
std::string firstComplaint(const std::string& errors) {
    std::string line;
    for (char c : errors.substr(0, errors.find("\n* ", 1))) {
        if (c == '\n') c = ' ';
        if (c != ' ' || (!line.empty() && line.back() != ' ')) line += c;
    }
    if (!line.empty() && line.back() == ' ') line.pop_back();
    return line.substr(0, 200);
}

}  // namespace

bool parseJson(const std::string& text, Json::Value& root, std::string* refusal,
               const JsonShape& limits) {
    root = Json::Value();
    // Refused before parsing: the reader's own limits are far higher, and what it accepts
    // is stored in the record file, many times its size as styled text, and read back on
    // every query.
    std::string refused = shapeRefusal(text, limits);
    if (!refused.empty()) {
        if (refusal != nullptr) *refusal = std::move(refused);
        return false;
    }
    try {
        Json::Reader reader;
        // Comments are accepted but not kept: a kept comment sticks to the value it follows,
        // and a handler that copies "cmd" or "uuid" into its reply would send it along,
        // making the reply line invalid JSON.
        if (reader.parse(text, root, false)) return true;
    } catch (const std::exception& e) {
        if (refusal != nullptr) *refusal = e.what();
    }
    root = Json::Value();
    return false;
}

bool parseStrictJson(const std::string& text, Json::Value& root, std::string& error,
                     const JsonShape& limits) {
    root = Json::Value();
    // The reader recurses once per level and keeps every value as a tree many times its
    // size: the shape is judged before it runs.
    error = shapeRefusal(text, limits);
    if (!error.empty()) return false;
    try {
        Json::CharReaderBuilder builder;
        Json::CharReaderBuilder::strictMode(&builder.settings_);
        builder.settings_["stackLimit"] = limits.depth + 1;
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        std::string errors;
        if (reader->parse(text.data(), text.data() + text.size(), &root, &errors)) return true;
        error = firstComplaint(errors);
    } catch (const std::exception& e) {
        error = e.what();
    }
    root = Json::Value();
    if (error.empty()) error = "not JSON";
    return false;
}
