// SPDX-License-Identifier: Apache-2.0
#include "quillferry/reply.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "protocol/json_text.h"

namespace qfclient {

namespace {

// A board's replies are three levels deep at most and hold a few hundred values at most
// (its requests hold no more than kRequestLimits).
constexpr JsonShape kReplyLimits{qf::kMaxJsonDepth, 4 * qf::kMaxJsonValues};

}  // namespace

ReplyCheck checkReply(const std::string& line) {
    ReplyCheck check;
    std::string error;
    if (!parseStrictJson(line, check.root, error, kReplyLimits) || !check.root.isObject()) {
        check.root = Json::Value();
        const std::string refusal = shapeRefusal(line, kReplyLimits);
        check.problem = refusal.empty() ? "reply is not a JSON object" : "reply is " + refusal;
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

const Json::Value& member(const Json::Value& v, const char* name) {
    static const Json::Value none;
    if (!v.isObject()) return none;
    const Json::Value* found = v.find(name, name + std::strlen(name));
    return found != nullptr ? *found : none;
}

std::string asBoardEchoes(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
    return text;
}

bool uuidEchoed(const Json::Value& sentUuid, const Json::Value& replyUuid) {
    return asBoardEchoes(compactJson(sentUuid)) == asBoardEchoes(compactJson(replyUuid));
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

namespace {

// Takes the next whole piece off the front of `pending`: a line, or the probe's
// acknowledgement with its zero byte. Zero bytes before a line are dropped: they end an
// acknowledgement whose line came before this call.
std::optional<std::string> takePiece(std::string& pending) {
    pending.erase(0, pending.find_first_not_of('\0'));
    const std::size_t nl = pending.find('\n');
    if (nl == std::string::npos) return std::nullopt;
    std::size_t size = nl + 1;
    const std::string ack = probeAck();
    if (pending.compare(0, size, ack, 0, ack.size() - 1) == 0) {
        if (pending.size() == size) return std::nullopt;  // its zero byte may be on the way
        if (pending[size] == '\0') ++size;
    }
    std::string piece = pending.substr(0, size);
    pending.erase(0, size);
    return piece;
}

}  // namespace

ReplyMatcher::ReplyMatcher(const Call& call) : call_(call) {
    if (call_.uuid) echo_ = "\"uuid\":" + asBoardEchoes(compactJson(*call_.uuid));
}

bool ReplyMatcher::answers(const std::string& piece) const {
    if (call_.probe) return piece == probeAck();
    if (!call_.uuid) return true;
    const ReplyCheck check = checkReply(piece);
    if (check.verdict != ReplyCheck::Verdict::NotJson)
        return uuidEchoed(*call_.uuid, std::as_const(check.root)["uuid"]);
    // A line that cannot be read as a reply but echoes the request's uuid is the board's
    // answer to it, a malformed one.
    return asBoardEchoes(piece).find(echo_) != std::string::npos;
}

bool saysPortInUse(std::string_view said) {
    std::string text(said);
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text.find("in use") != std::string::npos || text.find("busy") != std::string::npos;
}

std::string ReplyMatcher::note(std::string_view bytes) {
    std::string text;
    std::size_t used = 0;
    for (; used < bytes.size() && text.size() < kMaxNoteBytes; ++used)
        text += escapeBytes(bytes.substr(used, 1));
    if (used < bytes.size()) text += "...";
    return text;
}

void ReplyMatcher::discard(std::string_view piece) {
    if (discarded_.size() < kMaxNotes) discarded_.push_back(note(piece));
    ++discardedCount_;
}

void ReplyMatcher::keep(std::string_view bytes) {
    const std::size_t needed = pending_.size() + bytes.size();
    if (needed > pending_.capacity()) {
        // A fresh string reserves exactly what it is asked for.
        std::string grown;
        grown.reserve(std::min(kMaxPieceBytes, std::max(needed, 2 * pending_.size())));
        grown.append(pending_);
        pending_.swap(grown);
    }
    pending_.append(bytes);
}

bool ReplyMatcher::feed(std::string_view bytes) {
    while (!answered_ && !bytes.empty()) {
        if (skipping_) {
            const std::size_t nl = bytes.find('\n');
            if (nl == std::string_view::npos) break;
            bytes.remove_prefix(nl + 1);
            skipping_ = false;
        }
        const std::string_view some = bytes.substr(0, kMaxPieceBytes - pending_.size());
        keep(some);
        bytes.remove_prefix(some.size());
        while (!answered_) {
            std::optional<std::string> piece = takePiece(pending_);
            if (!piece) break;
            if (answers(*piece)) {
                answer_ = std::move(*piece);
                answered_ = true;
            } else {
                discard(*piece);
            }
        }
        // A board that keeps sending without a newline must not grow this without end.
        if (!answered_ && pending_.size() >= kMaxPieceBytes) {
            discard(pending_);
            pending_ = std::string();
            skipping_ = true;
        }
    }
    return answered_;
}

}  // namespace qfclient
