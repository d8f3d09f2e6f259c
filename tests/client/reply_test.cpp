// SPDX-License-Identifier: Apache-2.0
// Replies judged and matched to their call, and the lines a controller sends.
#include "quillferry/reply.h"

#include <gtest/gtest.h>

#include <regex>
#include <vector>

#include "expect_text.h"
#include "golden.h"
#include "quillferry/request.h"

namespace {

using Verdict = qfclient::ReplyCheck::Verdict;

// Only an integral ret_val of 0 is success; a reply that claims nothing is taken as one.
// Lines nested deeper or holding more values than any reply of a board are no replies:
// judged by their shape, never handed to the reader (which throws past its own depth).
TEST(ClientReply, VerdictFollowsRetValAndDeepOrLargeLinesAreNotReplies) {
    const auto nested = [](std::size_t depth) {
        return "{\"ret_val\":0,\"x\":" + std::string(depth, '[') + std::string(depth, ']') + "}";
    };
    std::string many = "{\"ret_val\":0,\"x\":[0";
    for (int i = 1; i < 1021; ++i) many += ",0";  // 1024 values with the rest
    const std::pair<Verdict, std::vector<std::string>> cases[] = {
        {Verdict::Ok,
         {R"({"cmd":"get_stat","ret_val":0,"uuid":"1"})", R"({"cmd":"x"})", nested(63),
          many + "]}"}},
        {Verdict::Failed,
         {R"({"ret_val":-1})", R"({"ret_val":256})", R"({"ret_val":18446744073709551615})",
          R"({"ret_val":"0"})", R"({"ret_val":null})"}},
        {Verdict::NotJson,
         {"read fail", "", "[1,2]", R"({"ret_val":0} trailing)", R"({"ret_val":0)",
          R"({"ret_val":0,"ret_val":0})", nested(64), std::string(2048, '['), nested(100000),
          many + ",0]}"}},
    };
    for (const auto& [verdict, lines] : cases) {
        for (const std::string& line : lines) {
            const qfclient::ReplyCheck check = qfclient::checkReply(line + "\n");
            EXPECT_EQ(check.verdict, verdict) << line.substr(0, 40);
            EXPECT_EQ(check.problem.empty(), verdict == Verdict::Ok) << line.substr(0, 40);
        }
    }
}

// What arrives, in the chunks it arrives in, to the piece that answers and the number of
// pieces discarded before it.
TEST(ClientReply, MatcherTakesOnlyTheAnswerToItsCall) {
    const std::string ack(golden::kAck);
    const std::string stale = "{\"ret_val\":0,\"uuid\":\"old\"}\n";
    const std::string mine = "{\"ret_val\":0,\"uuid\":\"u\"}\n";
    // The board removes spaces from what it echoes, and echoes a missing uuid as null.
    const std::string spaceless = "{\"uuid\":\"ab\"}\n";
    const std::string none = "{\"uuid\":null}\n";
    const qfclient::Call stat = qfclient::requestCall(qfclient::statRequest("u"));
    const auto sent = [](const std::string& text) {
        qfclient::Call call;
        std::string error;
        EXPECT_TRUE(qfclient::lineCall(text, call, error)) << error;
        return call;
    };
    const std::string deep = std::string(100, '[') + std::string(100, ']') + "\n";
    const std::size_t max = qfclient::ReplyMatcher::kMaxPieceBytes;
    struct Case {
        qfclient::Call call;
        std::vector<std::string> chunks;
        std::string answer;  // empty: none yet
        std::size_t discarded;
    } const cases[] = {
        {stat, {stale + ack.substr(0, 10), ack.substr(10) + "garbage\n" + mine}, mine, 3},
        // The zero byte that ends an acknowledgement read by an earlier call.
        {stat, {std::string(1, '\0') + mine}, mine, 0},
        {stat, {stale}, "", 1},
        {sent(R"({"cmd":"x","uuid":"a b"})"), {stale, spaceless}, spaceless, 1},
        {sent(R"({"cmd":"x"})"), {stale, none}, none, 1},
        {sent("hello"), {stale}, stale, 0},
        // A line too deep to read is discarded like any other that is not the reply.
        {stat, {deep, mine}, mine, 1},
        {qfclient::probeCall(), {stale, ack}, ack, 1},
        // The acknowledgement's line without its zero byte yet, then a stray newline.
        {qfclient::probeCall(), {ack.substr(0, 17)}, "", 0},
        {qfclient::probeCall(), {ack.substr(0, 17) + "\n"}, "", 2},
        // A board that keeps sending without a newline is cut off, not stored: the rest of
        // its overlong line is dropped up to the newline, and the next line is read.
        {stat, {std::string(70000, 'x'), std::string(70000, 'y')}, "", 1},
        {stat, {std::string(70000, 'x'), "y\n" + mine}, mine, 1},
        {stat, {std::string(max - 1, 'x') + "\n" + mine}, mine, 1},
    };
    for (const Case& c : cases) {
        qfclient::ReplyMatcher matcher(c.call);
        bool answered = false;
        for (const std::string& chunk : c.chunks) answered = matcher.feed(chunk);
        const std::string label = qfclient::escapeBytes(c.chunks.front().substr(0, 40));
        EXPECT_EQ(answered, !c.answer.empty()) << label;
        EXPECT_EQ(matcher.answer(), c.answer) << label;
        EXPECT_EQ(matcher.discardedCount(), c.discarded) << label;
        EXPECT_LE(matcher.pending().capacity(), max) << label;  // and so its size
        for (const std::string& note : matcher.discarded())
            EXPECT_LE(note.size(), qfclient::ReplyMatcher::kMaxNoteBytes + 6) << label;
    }
}

TEST(ClientRequest, FreshUuidsAreRandomVersionFour) {
    const std::regex v4("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    const std::string first = qfclient::newUuid();
    EXPECT_TRUE(std::regex_match(first, v4)) << first;
    EXPECT_NE(qfclient::newUuid(), first);
}

// A line to send is matched by the uuid it carries; one the board drops unread (too deep,
// too many values) is refused before anything is sent, without the reader throwing.
TEST(ClientRequest, LineToSendIsJudgedByItsShapeFirst) {
    std::string values = "[0";  // 256 values with the array, then 257
    for (int i = 1; i < 255; ++i) values += ",0";
    const struct {
        std::string text;
        bool sent;
        const char* uuid;  // the uuid matched, as JSON; empty: none (not a JSON object)
    } cases[] = {
        {R"({"cmd":"get_stat","uuid":"a"})", true, "\"a\""},
        {R"({"cmd":"get_stat"})", true, "null"},
        {"hello", true, ""},
        {"[1]", true, ""},
        {R"({"uuid":"a"} // comment)", true, ""},
        {values + "]", true, ""},
        {values + ",0]", false, ""},
        {std::string(65, '[') + std::string(65, ']'), false, ""},
        {std::string(100000, '['), false, ""},
        {"{\"uuid\":\"a\",\"x\":" + std::string(64, '['), false, ""},
    };
    for (const auto& c : cases) {
        qfclient::Call call;
        std::string error;
        EXPECT_EQ(qfclient::lineCall(c.text, call, error), c.sent) << c.text.substr(0, 40);
        if (!c.sent) {
            EXPECT_HAS(error, "the board drops such a line");
            continue;
        }
        EXPECT_EQ(call.line, c.text + "\n");
        EXPECT_EQ(call.uuid ? qfclient::compactJson(*call.uuid) : "", c.uuid) << c.text;
    }
}

}  // namespace
