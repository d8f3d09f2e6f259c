// SPDX-License-Identifier: Apache-2.0
#include "netconf/set_net_conf.h"

#include <string>

#include "core/constants.h"
#include "core/log.h"
#include "core/reply.h"
#include "netconf/apply.h"
#include "netconf/cmd_record_store.h"
#include "netconf/verified_apply.h"
#include "protocol/net_conf_request.h"

namespace {

// A refusal is logged whatever the debug switch; anything else is echoed while it is on.
constexpr ReplyEcho kRefusedEcho{
    nullptr, "[QuillFerry] Do Set NetWork Configuration Failed And Response Data:%s", true};
constexpr ReplyEcho kDoneEcho{
    "Netcfg res:%s", "[QuillFerry] Do Set NetWork Configuration Done And Response Data:%s", false};

constexpr SetOutcome kRefused{Status(qf::kRetRefused)};

// The checks, then clear, skip, place, apply or apply verified.
SetOutcome decide(BoardContext& board, const Json::Value& request) {
    // Every request is remembered, complete or not, before anything else happens.
    const bool recorded = storeRecord(board.paths.cmdRecordFile.c_str(), request);

    if (!hasNetConfShape(request)) {
        logLine(
            "[QuillFerry] set_net_conf rejected: it needs an ipv4 or ipv6 object, a location "
            "object and a nameservers array");
        return kRefused;
    }
    const NetConfRequest conf = readNetConfRequest(request);
    // As it was before this request, for a verified apply to put back.
    const NetworkState before = board.net;
    board.net.chooseFamily(conf.ipType);
    logLine("[QuillFerry] Do Set NetWork Configuration Data:");
    logLine(
        "[QuillFerry] idc:%s, soc_ip:%s, pod_id:%s, ipAddr:%s, gateWay:%s, netMask:%d, dns1:%s, "
        "dns2:%s",
        visible(conf.idc).c_str(), visible(conf.socIp).c_str(), visible(conf.podId).c_str(),
        visible(conf.address).c_str(), visible(conf.gateway).c_str(), conf.prefixLength,
        visible(conf.dns1).c_str(), visible(conf.dns2).c_str());
    if (conf.verifyGatewayGiven) {
        const std::string problem =
            conf.isClear() ? "a clear has no gateway to check" : verifyGatewayProblem(conf);
        if (!problem.empty()) {
            logLine("[QuillFerry] set_net_conf rejected: %s", problem.c_str());
            return kRefused;
        }
    }

    SetOutcome outcome;
    if (conf.isClear()) {
        outcome.status = clearInForce(board);
    } else if (!conf.isComplete()) {
        return kRefused;
    } else if (const std::string problem = netConfProblem(conf); !problem.empty()) {
        // The values end up in lines that ifupdown runs as root, and the interface goes down
        // before it comes up: a bad value must change nothing.
        logLine("[QuillFerry] set_net_conf rejected: %s", visible(problem).c_str());
        return kRefused;
    } else if (board.net.inForce(conf)) {
        outcome.status = refreshPlacement(board, conf);
    } else if (conf.verifyGatewayGiven) {
        outcome = applyVerified(board, conf, before);
    } else {
        outcome.status = applyInForce(board, conf);
    }
    // Nothing applied, nothing to check.
    if (conf.verifyGatewayGiven && outcome.gatewayCheck == nullptr)
        outcome.gatewayCheck = qf::kGatewayNotChecked;
    // get_net_conf reports the record: one that is not stored leaves it reporting another
    // request, so the request is not carried out in full.
    if (!recorded && outcome.status.ok()) {
        board.net.applied(false);
        outcome.status = Status::written(false);
    }
    return outcome;
}

}  // namespace

Handled handleSetNetConf(BoardContext& board, const Json::Value& request) {
    // All of it runs beside the line: files are flushed and ifdown and ifup run while the loop
    // still answers the probe.
    return Handled::aside([&board, request] {
        const SetOutcome outcome = decide(board, request);
        const int retVal = outcome.status.retVal();
        Json::Value reply = replyEnvelope(request, retVal);
        if (outcome.gatewayCheck != nullptr) reply[qf::kGatewayCheckMember] = outcome.gatewayCheck;
        return Answer{reply, retVal == qf::kRetRefused ? kRefusedEcho : kDoneEcho};
    });
}
