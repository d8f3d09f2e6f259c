// SPDX-License-Identifier: Apache-2.0
// "set_net_conf" with "verify_gateway" on a scratch board: when the configuration is kept,
// when the one before is put back (every file as it was, eth0 restarted), when even that
// fails or it cannot start, and what is in force afterwards. (The kernel's own check runs on
// the simulated board.)
#include <json/json.h>

#include <filesystem>
#include <string>

#include "board_conf.h"
#include "expect_text.h"
#include "netconf/in_force.h"
#include "scratch_board.h"

namespace {

using qftest::BoardConf;
using VerifiedApply = ScratchBoard;

// Each way a verified apply can end: its reply, the interface commands it ran, the files it
// leaves and what is in force then.
TEST_F(VerifiedApply, KeepsPutsBackOrSaysItCouldNot) {
    BoardConf next = BoardConf::at(1);
    next.containers = 3;  // one container file more than before: removed again
    Json::Value request = next.request("v");
    request["verify_gateway"] = 5;
    enum Before { Applied, Cleared, Fresh };
    enum Files { New, Old, Torn };
    const struct {
        const char* name;
        Before before;
        bool answers;      // the gateway check
        const char* ifup;  // the stand-in's fault script; "once:" before it: for its first run
        int retVal;
        const char* check;
        int commands;
        Files files;
        std::size_t planted = 0;  // .hostinfo as a folder (1) or of this many bytes
    } cases[] = {
        {"the gateway answers", Applied, true, "", 0, "answered", 2, New},
        {"the gateway is silent", Applied, false, "", -5, "silent", 4, Old},
        {"ifup fails", Applied, true, "once:exit 3", -5, "not_run", 4, Old},
        {"ifup hangs", Applied, true, "once:sleep 5", -5, "not_run", 4, Old},
        {"ifup fails again", Applied, true, "exit 3", -6, "not_run", 4, Old},
        {"a file cannot be put back", Applied, true,
         "once:mkdir -p {board}/opt/..hostinfo.quillferry-new/in; exit 3", -6, "not_run", 4, Torn},
        // A clear left eth0 down: put back, it stays down.
        {"after a clear", Cleared, false, "", -5, "silent", 3, Old},
        {"on a fresh board", Fresh, false, "", -5, "silent", 4, Old},
        // A file that cannot be kept to put it back: nothing is started.
        {"a folder to keep", Applied, true, "", -2, "not_run", 0, Old, 1},
        {"more than a board's files", Applied, true, "", -2, "not_run", 0, Old,
         std::size_t{64} * 1024},
    };
    const BoardConf old;
    for (const auto& c : cases) {
        TearDown();  // a board of its own for each case
        SetUp();
        if (c.before != Fresh) {
            ASSERT_EQ(set(old.request("old")), 0) << c.name;
        }
        if (c.before == Cleared) {
            ASSERT_EQ(set(qfclient::clearRequest("clr", false)), 0);
        }
        if (c.planted > 0) {
            std::filesystem::remove(path("opt/.hostinfo"));
            if (c.planted == 1) folder("opt/.hostinfo/in");
            if (c.planted > 1) put("opt/.hostinfo", std::string(c.planted, 'x'));
        }
        std::string ifup = c.ifup;
        for (std::size_t at; (at = ifup.find("{board}")) != std::string::npos;)
            ifup.replace(at, 7, dir_);
        if (ifup.rfind("once:", 0) == 0)
            ifup = "[ -e " + path("done") + " ] || { touch " + path("done") + "; " +
                   ifup.substr(5) + "; }";
        put("fault.ifup", ifup);
        const auto before = files();
        const auto inForce = [this] {  // as the query reports it
            return inForceReply(readInForce(path("var/lib/quillferry/in-force.json")));
        };
        const Json::Value inForceBefore = inForce();
        const long calledBefore = calls();
        gatewayAnswers_ = c.answers;
        gatewayChecks_ = 0;

        const Json::Value reply = setReply(request);
        EXPECT_EQ(reply["ret_val"].asInt(), c.retVal) << c.name;
        EXPECT_EQ(reply["gateway_check"].asString(), c.check) << c.name;
        EXPECT_EQ(gatewayChecks_, c.check == std::string("not_run") ? 0 : 1) << c.name;
        EXPECT_EQ(calls() - calledBefore, c.commands) << c.name;
        std::filesystem::remove(path("fault.ifup"));
        if (c.files == New) expectFiles(next.files(), c.name);
        if (c.files == Old) {
            EXPECT_EQ(files(), before) << c.name;
        }
        if (c.files == Torn) {
            EXPECT_NE(files(), before) << c.name;
        }
        // Put back, the board is as before the request, the daemon's memory included: the
        // old configuration again is unchanged and not applied.
        if (c.retVal == -5 && c.before == Applied) {
            EXPECT_HAS(contents("ifcmd.log"), "ifdown eth0 --ignore-errors --force ");
            const long now = calls();
            EXPECT_EQ(set(old.request("again")), 0) << c.name;
            EXPECT_EQ(calls(), now) << c.name;
        }
        // The truth afterwards: the new configuration, the one before, or unknown.
        if (c.retVal == 0) {
            EXPECT_EQ(inForce()["ipv4"]["address"], next.address()) << c.name;
        } else {
            EXPECT_EQ(inForce(), c.retVal == -6 ? Json::Value("unknown") : inForceBefore) << c.name;
        }
    }
}

}  // namespace
