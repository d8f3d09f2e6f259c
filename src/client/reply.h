// SPDX-License-Identifier: Apache-2.0
// Judging what a board sends back: which of the pieces that arrive answers a call (a line
// that carries the request's uuid, or the probe's acknowledgement), and whether it is a
// success.
#pragma once

#include <json/json.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "client/request.h"

namespace qfclient {

struct ReplyCheck {
    enum class Verdict { Ok, Failed, NotJson };
    Verdict verdict = Verdict::NotJson;
    // The parsed reply (Ok and Failed).
    Json::Value root;
    // Why it is not Ok, one line without newline.
    std::string problem;
};

// A reply is one JSON object on the line; it failed when its "ret_val" is present and not
// the integer 0. A missing "ret_val" is accepted, since a sent line may reach anything.
ReplyCheck checkReply(const std::string& line);

// Whether `replyUuid` echoes the request's `sentUuid`: the same JSON value, but the board
// removes spaces from everything it sends, so "a b" comes back as "ab".
bool uuidEchoed(const Json::Value& sentUuid, const Json::Value& replyUuid);

// Bytes as readable text: printable ASCII as is, \n \r \t \\ and \xHH for the rest.
std::string escapeBytes(std::string_view bytes);

// Cuts what arrives into pieces (lines, and the acknowledgement with its zero byte) and
// finds the one that answers a call; everything before it is discarded (late replies to
// earlier calls, noise). Bounded: a piece without a newline is given up past
// kMaxPieceBytes, and only the first kMaxNotes discarded pieces are kept for the notes.
class ReplyMatcher {
public:
    static constexpr std::size_t kMaxPieceBytes = std::size_t{64} * 1024;
    static constexpr std::size_t kMaxNotes = 8;
    static constexpr std::size_t kMaxNoteBytes = 256;

    explicit ReplyMatcher(const Call& call) : call_(call) {}

    // Takes the bytes that arrived; true once the answer is among them (answer()). Bytes
    // after the answer are left in pending().
    bool feed(std::string_view bytes);

    const std::string& answer() const { return answer_; }
    // What arrived but does not answer the call, escaped and cut to kMaxNoteBytes each.
    const std::vector<std::string>& discarded() const { return discarded_; }
    std::size_t discardedCount() const { return discardedCount_; }
    // Bytes of a piece not yet complete.
    const std::string& pending() const { return pending_; }

private:
    bool answers(const std::string& piece) const;
    void discard(std::string_view piece);

    Call call_;
    std::string pending_;
    std::string answer_;
    bool answered_ = false;
    std::vector<std::string> discarded_;
    std::size_t discardedCount_ = 0;
};

}  // namespace qfclient
