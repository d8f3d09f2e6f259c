#include "ctl/reply.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "ctl/request.h"

namespace ctl {

ReplyCheck checkReply(const std::string& line) {
    ReplyCheck check;
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    if (!reader->parse(line.data(), line.data() + line.size(), &check.root, &errors) ||
        !check.root.isObject()) {
        check.root = Json::Value();
        check.problem = "reply is not a JSON object";
        return check;
    }
    check.verdict = ReplyCheck::Verdict::Ok;
    if (!check.root.isMember("ret_val")) return check;

    const Json::Value& retVal = std::as_const(check.root)["ret_val"];
    if (retVal.isInt64() && retVal.asInt64() == 0) return check;
    check.verdict = ReplyCheck::Verdict::Failed;
    if (retVal.isInt64() || retVal.isUInt64()) {
        check.problem = "board answered ret_val " + retVal.asString();
    } else {
        check.problem = "reply's ret_val is not an integer";
    }
    return check;
}

bool uuidEchoed(const Json::Value& sentUuid, const Json::Value& replyUuid) {
    const auto bare = [](const Json::Value& uuid) {
        std::string text = compactJson(uuid);
        text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
        return text;
    };
    return bare(sentUuid) == bare(replyUuid);
}

std::string escapeBytes(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '\n':
                text += "\\n";
                break;
            case '\r':
                text += "\\r";
                break;
            case '\t':
                text += "\\t";
                break;
            case '\\':
                text += "\\\\";
                break;
            default:
                if (byte >= 0x20 && byte < 0x7f) {
                    text += c;
                } else {
                    text += "\\x";
                    text += kHex[byte >> 4];
                    text += kHex[byte & 0x0f];
                }
        }
    }
    return text;
}

}  // namespace ctl
