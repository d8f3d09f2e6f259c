#include "core/util.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "core/constants.h"
#include "core/fd_io.h"
#include "core/uart.h"

std::string strFixPatternTrim(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 1);
    for (const char c : text) {
        if (c != ' ' && c != '\r' && c != '\n' && c != '\t') out.push_back(c);
    }
    out.push_back('\n');
    return out;
}

Json::Value replyEnvelope(const Json::Value& request, int retVal) {
    Json::Value reply(Json::objectValue);
    reply["uuid"] = request["uuid"];
    reply["cmd"] = request["cmd"];
    reply["ret_val"] = retVal;
    return reply;
}

std::string encodeReply(const Json::Value& reply) {
    return strFixPatternTrim(reply.toStyledString());
}

std::string sendReply(Uart& uart, const Json::Value& reply) {
    std::string text = encodeReply(reply);
    uart.Write(text.data(), static_cast<int>(text.size()));
    return text;
}

std::string strPatternReplace(const std::regex& pattern, const std::string& text,
                              const std::string& replacement) {
    return std::regex_replace(text, pattern, replacement);
}

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

bool parseJson(const std::string& text, Json::Value& root, std::string* refusal,
               const JsonShape& limits) {
    root = Json::Value();
    // Refused before parsing: the reader's own limits are far higher, and what it accepts
    // is stored in the record file, many times its size as styled text, and read back on
    // every query.
    const JsonShape shape = jsonShape(text);
    if (shape.depth > limits.depth || shape.values > limits.values) {
        if (refusal != nullptr) {
            *refusal = shape.depth > limits.depth
                           ? "nested deeper than " + std::to_string(limits.depth) + " levels"
                           : "more than " + std::to_string(limits.values) + " values";
        }
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

std::string getInfoFromFile(const char* path) {
    std::string text;
    const UniqueFd fd = openRegularFile(path);
    if (fd.valid() && !readUpTo(fd.get(), qf::kInfoFileMax, text)) text.clear();
    return text.substr(0, text.find('\0'));
}

bool parseLeadingInt(const std::string& text, int& value) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(begin, &end, 10);
    if (end == begin) return false;
    if (errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
    value = static_cast<int>(v);
    return true;
}
