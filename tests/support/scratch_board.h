// SPDX-License-Identifier: Apache-2.0
// The board's files in a scratch folder, for unit tests that call the command handlers
// directly: interfaceStub() as ifdown and ifup (logging to ifcmd.log, running what fault.<name>
// says), and a gateway check that answers as gatewayAnswers_ says.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "board.h"
#include "core/board_context.h"
#include "core/handler.h"
#include "netconf/set_net_conf.h"
#include "protocol/json_text.h"
#include "query/get_hw_conf.h"
#include "query/get_net_conf.h"
#include "query/get_stat.h"
#include "quillferry/request.h"
#include "scratch_dir.h"

// A JSON text as the daemon parses it.
inline Json::Value json(const std::string& text) {
    Json::Value v;
    EXPECT_TRUE(parseJson(text, v)) << text;
    return v;
}

class ScratchBoard : public ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        // The container folder with search bits (made by the daemon without them, as only
        // root may enter it): the daemon leaves it alone.
        for (const char* f : {"etc/network", "usr/sbin", "data", "var/lib", "opt/.lxc_ipconfig"})
            folder(f);
        for (const char* name : {"usr/sbin/ifdown", "usr/sbin/ifup"}) {
            put(name, qftest::interfaceStub(path("ifcmd.log"), path("fault.")));
            ::chmod(path(name).c_str(), 0755);
        }
        restart();
    }

    // A fresh daemon on the same files, as after a restart: only the record is left.
    void restart() {
        board_ = std::make_unique<BoardContext>(BoardPaths::under(dir_));
        board_->ifupTimeout = std::chrono::seconds(1);
        board_->gatewayCheck = [this](const std::string&, std::chrono::milliseconds,
                                      std::string& detail) {
            ++gatewayChecks_;
            detail = "the test's stand-in";
            return gatewayAnswers_;
        };
    }

    Json::Value ask(Handler handler, const Json::Value& request) {
        return handler(*board_, request).here().reply;
    }
    int set(const Json::Value& request) { return setReply(request)["ret_val"].asInt(); }
    Json::Value setReply(const Json::Value& request) { return ask(handleSetNetConf, request); }
    Json::Value netConf(const Json::Value& request = qfclient::netConfRequest("q")) {
        return ask(handleGetNetConf, request);
    }
    // How often ifdown and ifup have run so far.
    long calls() const {
        const std::string log = contents("ifcmd.log");
        return static_cast<long>(std::count(log.begin(), log.end(), '\n'));
    }
    // Every file under etc/ and opt/ with its content (folders as "<folder>"), without the
    // record of the last request unless `record`.
    std::map<std::string, std::string> files(bool record = false) const {
        std::map<std::string, std::string> found;
        for (const char* top : {"/etc", "/opt"}) {
            for (const auto& e : std::filesystem::recursive_directory_iterator(dir_ + top)) {
                const std::string rel = e.path().string().substr(dir_.size());
                found[rel] = e.is_directory() ? "<folder>" : contents(rel.substr(1));
            }
        }
        if (!record) found.erase("/opt/.cmd.txt");
        return found;
    }
    // Each file (path as the board names it) holds its content.
    void expectFiles(const std::map<std::string, std::string>& expected,
                     const std::string& why = "") const {
        for (const auto& [name, content] : expected)
            EXPECT_EQ(contents(name.substr(1)), content) << why << ": " << name;
    }

    std::unique_ptr<BoardContext> board_;
    bool gatewayAnswers_ = true;
    int gatewayChecks_ = 0;
};
