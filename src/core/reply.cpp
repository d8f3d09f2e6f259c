// SPDX-License-Identifier: Apache-2.0
#include "core/reply.h"

#include "core/log.h"
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

std::string loggedLine(const std::string& text) {
    // The line's own newline ends the log line; it is not a character of its text.
    const std::size_t end = !text.empty() && text.back() == '\n' ? text.size() - 1 : text.size();
    return visible(std::string_view(text).substr(0, end));
}

void sendAnswer(Uart& uart, const Answer& a, bool debug) {
    const std::string text = encodeReply(a.reply);
    // The request's log lines first (the probe's acknowledgement does not wait for them).
    catchUpLog();
    uart.Write(text.data(), static_cast<int>(text.size()));
    if (!debug && !a.echo.always) return;
    const std::string shown = loggedLine(text);
    if (a.echo.output != nullptr) logOutput(a.echo.output, shown.c_str());
    if (a.echo.log != nullptr) logLine(a.echo.log, shown.c_str());
}
