#include "core/util.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "core/constants.h"
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

bool parseJson(const std::string& text, Json::Value& root) {
    Json::Reader reader;
    // Comments are accepted but not kept: a kept comment sticks to the value it follows,
    // and a handler that copies "cmd" or "uuid" into its reply would send it along,
    // making the reply line invalid JSON.
    return reader.parse(text, root, false);
}

std::string getInfoFromFile(const char* path) {
    char buf[qf::kInfoFileMax] = {};
    std::size_t got = 0;
    if (FILE* f = std::fopen(path, "re")) {
        got = std::fread(buf, 1, sizeof(buf), f);
        std::fclose(f);
    }
    std::size_t len = 0;
    while (len < got && buf[len] != '\0') ++len;
    return std::string(buf, len);
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
