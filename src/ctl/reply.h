// Judging what the board sent back: a reply line or the probe's acknowledgement.
#pragma once

#include <json/json.h>

#include <string>
#include <string_view>

namespace ctl {

struct ReplyCheck {
    enum class Verdict { Ok, Failed, NotJson };
    Verdict verdict = Verdict::NotJson;
    // The parsed reply (Ok and Failed).
    Json::Value root;
    // Why it is not Ok, one line without newline.
    std::string problem;
};

// A reply is one JSON object on the line; it failed when its "ret_val" is present and not
// the integer 0. A missing "ret_val" is accepted, since `send` may reach anything.
ReplyCheck checkReply(const std::string& line);

// Whether `replyUuid` echoes the request's `sentUuid`: the same JSON value, but the board
// removes spaces from everything it sends, so "a b" comes back as "ab".
bool uuidEchoed(const Json::Value& sentUuid, const Json::Value& replyUuid);

// Bytes as readable text: printable ASCII as is, \n \r \t \\ and \xHH for the rest.
std::string escapeBytes(std::string_view bytes);

}  // namespace ctl
