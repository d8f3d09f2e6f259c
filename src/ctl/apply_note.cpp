// SPDX-License-Identifier: Apache-2.0
#include "ctl/apply_note.h"

#include "protocol/wire.h"
#include "quillferry/reply.h"

namespace ctl {

namespace {

// What a set_net_conf reply's ret_val of a verified apply means.
constexpr int kPutBack = -5;
constexpr int kNotPutBack = -6;
constexpr int kRefused = -1;

using qfclient::member;

}  // namespace

std::string applyNote(const qfclient::Call& call, const Json::Value& reply) {
    if (call.cmd != qf::kCmdSetNetConf || !reply.isObject()) return std::string();
    const Json::Value& retVal = member(reply, "ret_val");
    const Json::Value& check = member(reply, "gateway_check");
    std::string note;
    const auto add = [&note](const std::string& text) {
        note += (note.empty() ? "" : "; ") + text;
    };
    if (retVal == kPutBack) {
        add("the configuration before is back in force: the apply failed or its gateway did not "
            "answer");
    } else if (retVal == kNotPutBack) {
        add("the configuration before could not be put back: what the board runs is unknown");
    }
    if (check == "answered") {
        add("the gateway answered");
    } else if (check == "silent") {
        add("the gateway did not answer within " + std::to_string(call.verifyGatewaySec) + " s");
    } else if (check == "not_run") {
        add("the gateway was not checked: the apply failed before it, or nothing was restarted");
    } else if (!check.isNull()) {
        add("gateway_check " + qfclient::escapeBytes(qfclient::compactJson(check)));
    } else if (call.verifyGatewaySec > 0 && retVal != kRefused) {
        // A board of an earlier version applies without the check and says nothing of it.
        add("no gateway check ran: the board does not know verify_gateway (an earlier "
            "version) and applied without one");
    }
    return note;
}

}  // namespace ctl
