// SPDX-License-Identifier: Apache-2.0
#include "client/reply.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>

namespace qfclient {

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

bool ReplyMatcher::answers(const std::string& piece) const {
    if (call_.probe) return piece == probeAck();
    if (!call_.uuid) return true;
    const ReplyCheck check = checkReply(piece);
    return check.verdict != ReplyCheck::Verdict::NotJson &&
           uuidEchoed(*call_.uuid, std::as_const(check.root)["uuid"]);
}

void ReplyMatcher::discard(std::string_view piece) {
    if (discarded_.size() < kMaxNotes) {
        discarded_.push_back(escapeBytes(piece.substr(0, kMaxNoteBytes)) +
                             (piece.size() > kMaxNoteBytes ? "..." : ""));
    }
    ++discardedCount_;
}

bool ReplyMatcher::feed(std::string_view bytes) {
    pending_.append(bytes);
    while (!answered_) {
        const std::optional<std::string> piece = takePiece(pending_);
        if (!piece) {
            // A board that keeps sending without a newline must not grow this without end.
            if (pending_.size() <= kMaxPieceBytes) break;
            discard(pending_);
            pending_.clear();
            break;
        }
        if (answers(*piece)) {
            answer_ = *piece;
            answered_ = true;
        } else {
            discard(*piece);
        }
    }
    return answered_;
}

}  // namespace qfclient
