// SPDX-License-Identifier: Apache-2.0
// "set_net_conf" with "verify_gateway" on a scratch board: when the configuration is kept,
// when the one before is put back (every file as it was, eth0 restarted), when even that
// fails, and what is in force afterwards. (The kernel's own check runs on the simulated
// board.)
#include <json/json.h>

#include <filesystem>
#include <map>
#include <string>

#include "board_conf.h"
#include "netconf/in_force.h"
#include "scratch_board.h"

namespace {

using qftest::BoardConf;

class VerifiedApply : public ScratchBoard {
protected:
    // The board as it was before the verified request.
    enum class Before { Applied, Cleared, Fresh };

    void prepare(Before before) {
        // A board of its own for each case.
        TearDown();
        SetUp();
        if (before == Before::Fresh) return;
        ASSERT_EQ(set(old_.request("old")), 0);
        if (before == Before::Cleared) {
            ASSERT_EQ(set(qfclient::clearRequest("clr", false)), 0);
        }
    }
    // A fault script with "{board}" standing for the scratch folder; "once:" before it: only
    // for the first run of its command.
    std::string script(std::string text) const {
        for (std::size_t at; (at = text.find("{board}")) != std::string::npos;)
            text.replace(at, 7, dir_);
        if (text.rfind("once:", 0) != 0) return text;
        const std::string mark = path("fault.done");
        return "if [ ! -e " + mark + " ]; then touch " + mark + "; " + text.substr(5) + "; fi\n";
    }
    // As the query reports it (which would also read eth0's address back, here the
    // machine's, into the daemon's memory).
    Json::Value inForce() const {
        return inForceReply(readInForce(path("var/lib/quillferry/in-force.json")));
    }
    std::map<std::string, std::string> boardFiles() const {
        auto f = files();
        f.erase("/opt/.cmd.txt");  // the record of the last request, whatever became of it
        return f;
    }

    BoardConf old_;
};

// Each way a verified apply can end: its reply, the interface commands it ran, the files it
// leaves and what is in force then.
TEST_F(VerifiedApply, KeepsPutsBackOrSaysItCouldNot) {
    BoardConf next;
    next.net = 1;
    next.containers = 3;  // one container file more than before: removed again
    Json::Value request = next.request("v");
    request["verify_gateway"] = 5;
    enum Files { New, Old, Torn };
    const struct {
        const char* name;
        Before before;
        bool answers;      // the gateway check
        const char* ifup;  // the stand-in's fault script, as script() takes it
        int retVal;
        const char* check;
        int commands;
        Files files;
    } cases[] = {
        {"the gateway answers", Before::Applied, true, "", 0, "answered", 2, New},
        {"the gateway is silent", Before::Applied, false, "", -5, "silent", 4, Old},
        {"ifup fails", Before::Applied, true, "once:exit 3", -5, "not_run", 4, Old},
        {"ifup hangs", Before::Applied, true, "once:sleep 5", -5, "not_run", 4, Old},
        {"ifup fails again", Before::Applied, true, "exit 3", -6, "not_run", 4, Old},
        {"a file cannot be put back", Before::Applied, true,
         "once:mkdir -p {board}/opt/..hostinfo.quillferry-new/in; exit 3", -6, "not_run", 4, Torn},
        // A clear left eth0 down: put back, it stays down.
        {"after a clear", Before::Cleared, false, "", -5, "silent", 3, Old},
        {"on a fresh board", Before::Fresh, false, "", -5, "silent", 4, Old},
    };
    for (const auto& c : cases) {
        prepare(c.before);
        const auto before = boardFiles();
        const Json::Value inForceBefore = inForce();
        const long calledBefore = calls();
        put("fault.ifup", script(c.ifup).c_str());
        gatewayAnswers_ = c.answers;
        gatewayChecks_ = 0;

        const Json::Value reply = setReply(request);
        EXPECT_EQ(reply["ret_val"].asInt(), c.retVal) << c.name;
        EXPECT_EQ(reply["gateway_check"].asString(), c.check) << c.name;
        EXPECT_EQ(gatewayChecks_, c.check == std::string("not_run") ? 0 : 1) << c.name;
        EXPECT_EQ(calls() - calledBefore, static_cast<long>(c.commands)) << c.name;
        std::filesystem::remove(path("fault.ifup"));
        const auto after = boardFiles();
        if (c.files == Old) {
            EXPECT_EQ(after, before) << c.name;
        }
        if (c.files == New) {
            for (const auto& [name, content] : next.files())
                EXPECT_EQ(contents(name.substr(1)), content) << c.name << ": " << name;
        }
        if (c.files == Torn) {
            EXPECT_NE(after, before) << c.name;
        }
        // Put back, the board is as before the request, the daemon's memory included: the
        // old configuration again is unchanged and not applied.
        if (c.retVal == -5 && c.before == Before::Applied) {
            const std::string log = contents("ifcmd.log");
            EXPECT_NE(log.find("ifdown eth0 --ignore-errors --force "), std::string::npos) << log;
            const long now = calls();
            EXPECT_EQ(set(old_.request("again")), 0) << c.name;
            EXPECT_EQ(calls(), now) << c.name;
        }
        // The truth afterwards: the new configuration, the one before, or unknown.
        if (c.retVal == 0) {
            EXPECT_EQ(inForce()["ipv4"]["address"], next.address()) << c.name;
        } else {
            EXPECT_EQ(inForce(), c.retVal == -5 ? inForceBefore : Json::Value("unknown")) << c.name;
        }
    }
}

// A file of the apply that cannot be kept to put it back (a folder at its place, or more
// than the files of a board hold): nothing is started. (Unfit values of verify_gateway are
// refused with the other checks.)
TEST_F(VerifiedApply, NotStartedWhenAFileCannotBeKept) {
    BoardConf next;
    next.net = 1;
    Json::Value r = next.request("k");
    r["verify_gateway"] = 1;
    for (const std::string& planted : {std::string(), std::string(std::size_t{64} * 1024, 'x')}) {
        prepare(Before::Applied);
        std::filesystem::remove(path("opt/.hostinfo"));
        if (planted.empty()) {
            std::filesystem::create_directories(path("opt/.hostinfo/in"));
        } else {
            put("opt/.hostinfo", planted.c_str());
        }
        const auto kept = boardFiles();
        const Json::Value reply = setReply(r);
        EXPECT_EQ(reply["ret_val"].asInt(), -2) << planted.size();
        EXPECT_EQ(reply["gateway_check"].asString(), "not_run");
        EXPECT_EQ(calls(), 2);
        EXPECT_EQ(boardFiles(), kept);
    }
}

}  // namespace
