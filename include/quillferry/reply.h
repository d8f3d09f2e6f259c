// SPDX-License-Identifier: Apache-2.0
/// @file
/// Judging what a board sends back: which of the pieces that arrive answers a call (a line
/// that carries the request's uuid, or the probe's acknowledgement), and whether it is a
/// success.
#pragma once

#include <json/json.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "quillferry/export.h"
#include "quillferry/request.h"

namespace qfclient {

struct ReplyCheck {
    enum class Verdict { Ok, Failed, NotJson };
    Verdict verdict = Verdict::NotJson;
    /// The parsed reply (Ok and Failed).
    Json::Value root;
    /// Why it is not Ok, one line without newline.
    std::string problem;
};

/// A reply is one JSON object on the line; it failed when its "ret_val" is present and not
/// the integer 0. A missing "ret_val" is accepted, since a sent line may reach anything. A
/// line nested deeper or holding more values than any reply of a board (64 levels, 1,024
/// values) is not a JSON object either.
QUILLFERRY_CLIENT_API ReplyCheck checkReply(const std::string& line);

/// Whether `replyUuid` echoes the request's `sentUuid`: the same JSON value, but the board
/// removes spaces from everything it sends, so "a b" comes back as "ab".
QUILLFERRY_CLIENT_API bool uuidEchoed(const Json::Value& sentUuid, const Json::Value& replyUuid);

/// The member `name` of `v`, read whatever `v` is: null when `v` is no object or lacks it.
/// What a board sends is read by its type, whatever its shape.
QUILLFERRY_CLIENT_API const Json::Value& member(const Json::Value& v, const char* name);

/// Text as the board sends it back: its replies carry no space, not even inside a text.
QUILLFERRY_CLIENT_API std::string asBoardEchoes(std::string text);

/// Bytes as readable text: printable ASCII as is, `\n` `\r` `\t` `\\` and `\xHH` for the rest.
QUILLFERRY_CLIENT_API std::string escapeBytes(std::string_view bytes);

/// Whether what a console server said tells that someone else has the port ("Port already in
/// use", "port busy").
QUILLFERRY_CLIENT_API bool saysPortInUse(std::string_view said);

/// Cuts what arrives into pieces (lines, and the acknowledgement with its zero byte) and
/// finds the one that answers a call: the acknowledgement, or a line that echoes the
/// request's uuid (read as a reply, or, when it cannot be read as one, as it stands: the
/// board's malformed answer); everything before it is discarded (late replies to earlier
/// calls, noise), and what comes after it is dropped. Bounded whatever arrives: a
/// piece longer than kMaxPieceBytes is discarded up to its newline without being kept, and
/// only the first kMaxNotes discarded pieces are kept for the notes, each cut short.
class QUILLFERRY_CLIENT_API ReplyMatcher {
public:
    /// A board's replies are some 2 KiB at most (get_net_conf after the longest request the
    /// board reads, 2047 bytes); only get_net_conf after a refused set_net_conf of kilobytes
    /// of text, which it echoes escaped, can be longer than this.
    static constexpr std::size_t kMaxPieceBytes = std::size_t{8} * 1024;
    static constexpr std::size_t kMaxNotes = 4;
    static constexpr std::size_t kMaxNoteBytes = 256;

    explicit ReplyMatcher(const Call& call);

    /// Takes the bytes that arrived; true once the answer is among them (answer()).
    bool feed(std::string_view bytes);
    /// Discards `bytes` as a piece that cannot be the answer (what a console server passes on
    /// before the line is ready for the request), noted as the others.
    void discard(std::string_view bytes);

    const std::string& answer() const { return answer_; }
    /// What arrived but does not answer the call, as notes (note()).
    const std::vector<std::string>& discarded() const { return discarded_; }
    std::size_t discardedCount() const { return discardedCount_; }
    /// Bytes of a piece not yet complete, at most kMaxPieceBytes.
    const std::string& pending() const { return pending_; }

    /// Bytes as a note: escaped, and cut to about kMaxNoteBytes characters ("..." then).
    static std::string note(std::string_view bytes);

private:
    bool answers(const std::string& piece) const;
    /// Appends to pending_, whose storage grows to what it holds and never past
    /// kMaxPieceBytes (a string's own growth would double it).
    void keep(std::string_view bytes);

    Call call_;
    std::string echo_;  ///< "uuid": and the request's uuid, as a reply echoes it
    std::string pending_;
    /// Within a piece too long to keep: what comes up to its newline is dropped.
    bool skipping_ = false;
    std::string answer_;
    bool answered_ = false;
    std::vector<std::string> discarded_;
    std::size_t discardedCount_ = 0;
};

}  // namespace qfclient
