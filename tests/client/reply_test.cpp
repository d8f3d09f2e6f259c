// SPDX-License-Identifier: Apache-2.0
#include "client/reply.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Verdict = qfclient::ReplyCheck::Verdict;

// Only an integral ret_val of 0 is success; a reply that claims nothing is taken as one.
TEST(ClientReply, VerdictFollowsRetVal) {
    const std::pair<Verdict, std::vector<const char*>> cases[] = {
        {Verdict::Ok, {R"({"cmd":"get_stat","ret_val":0,"uuid":"1"})", R"({"cmd":"x"})"}},
        {Verdict::Failed,
         {R"({"ret_val":-1})", R"({"ret_val":256})", R"({"ret_val":18446744073709551615})",
          R"({"ret_val":"0"})", R"({"ret_val":null})"}},
        {Verdict::NotJson,
         {"read fail", "", "[1,2]", R"({"ret_val":0} trailing)", R"({"ret_val":0)"}},
    };
    for (const auto& [verdict, lines] : cases) {
        for (const char* line : lines) {
            const qfclient::ReplyCheck check = qfclient::checkReply(std::string(line) + "\n");
            EXPECT_EQ(check.verdict, verdict) << line;
            EXPECT_EQ(check.problem.empty(), verdict == Verdict::Ok) << line;
        }
    }
}

// What arrives, in the chunks it arrives in, to the piece that answers and the number of
// pieces discarded before it.
TEST(ClientReply, MatcherTakesOnlyTheAnswerToItsCall) {
    const std::string ack("Quillferry_Ok!!!\n\0", 18);
    const std::string stale = "{\"ret_val\":0,\"uuid\":\"old\"}\n";
    const std::string mine = "{\"ret_val\":0,\"uuid\":\"u\"}\n";
    // The board removes spaces from what it echoes, and echoes a missing uuid as null.
    const std::string spaceless = "{\"uuid\":\"ab\"}\n";
    const std::string none = "{\"uuid\":null}\n";
    const qfclient::Call stat = qfclient::requestCall(qfclient::statRequest("u"));
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
        {qfclient::lineCall(R"({"cmd":"x","uuid":"a b"})"), {stale, spaceless}, spaceless, 1},
        {qfclient::lineCall(R"({"cmd":"x"})"), {stale, none}, none, 1},
        {qfclient::lineCall("hello"), {stale}, stale, 0},
        {qfclient::probeCall(), {stale, ack}, ack, 1},
        // The acknowledgement's line without its zero byte yet, then a stray newline.
        {qfclient::probeCall(), {ack.substr(0, 17)}, "", 0},
        {qfclient::probeCall(), {ack.substr(0, 17) + "\n"}, "", 2},
        // A board that keeps sending without a newline is cut off, not stored.
        {stat, {std::string(70000, 'x'), std::string(70000, 'y')}, "", 2},
    };
    for (const Case& c : cases) {
        qfclient::ReplyMatcher matcher(c.call);
        bool answered = false;
        for (const std::string& chunk : c.chunks) answered = matcher.feed(chunk);
        const std::string label = qfclient::escapeBytes(c.chunks.front().substr(0, 40));
        EXPECT_EQ(answered, !c.answer.empty()) << label;
        EXPECT_EQ(matcher.answer(), c.answer) << label;
        EXPECT_EQ(matcher.discardedCount(), c.discarded) << label;
        EXPECT_LE(matcher.pending().size(), qfclient::ReplyMatcher::kMaxPieceBytes) << label;
    }
}

}  // namespace
