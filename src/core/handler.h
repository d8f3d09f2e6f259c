// SPDX-License-Identifier: Apache-2.0
// What a command handler is: a function from the board and a request to what it hands back,
// which is its answer, or the work that must run beside the line (ifdown and ifup take
// seconds) and gives the answer once done. The command loop sends the answer; while work runs
// beside the line it answers the probe and keeps other requests for later, so a handler never
// waits on the line itself.
#pragma once

#include <json/json.h>

#include <functional>
#include <string_view>
#include <utility>

#include "core/board_context.h"
#include "core/reply.h"

class Handled {
public:
    // Answered at once.
    Handled(Answer answer) : answer_(std::move(answer)) {}  // NOLINT(google-explicit-constructor)
    // Answered once `work` is done; it runs on a thread of its own and must not touch the line.
    static Handled aside(std::function<Answer()> work) {
        Handled h(Answer{});
        h.work_ = std::move(work);
        return h;
    }

    // The work still to do beside the line; empty when the answer is ready.
    const std::function<Answer()>& work() const { return work_; }
    const Answer& answer() const { return answer_; }

    // The answer, doing the work here first when there is any (tests, and where no thread can
    // be started).
    Answer here() const { return work_ ? work_() : answer_; }

private:
    Answer answer_;
    std::function<Answer()> work_;
};

// A command handler: the board it works on and the parsed request (an object whose "cmd" is
// a string). What it throws drops the request, without a reply.
using Handler = Handled (*)(BoardContext& board, const Json::Value& request);

// One row of the dispatch table: the command name of "cmd" and its handler.
struct Command {
    std::string_view name;
    Handler handle;
};
