// SPDX-License-Identifier: Apache-2.0
// The board's files in a scratch folder, for unit tests of the command handlers: a
// BoardContext over BoardPaths::under() the folder, with interfaceStub() as ifdown and ifup
// (logging to ifcmd.log, running what fault.<name> says) and a stand-in for the gateway
// check, which answers as gatewayAnswers_ says. Handlers are called directly, their work done
// in place.
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
        for (const char* folder : {"etc/network", "usr/sbin", "data", "var/lib"})
            std::filesystem::create_directories(path(folder));
        // Made by the test with search bits (the daemon makes it without them, which only
        // root may enter), and so left alone by the daemon.
        std::filesystem::create_directories(path("opt/.lxc_ipconfig"));
        const std::string stub = qftest::interfaceStub(path("ifcmd.log"), path("fault."));
        for (const char* name : {"ifdown", "ifup"}) {
            put(std::string("usr/sbin/") + name, stub.c_str());
            ::chmod(path(std::string("usr/sbin/") + name).c_str(), 0755);
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

    // The reply of `handler` to `request`.
    Json::Value ask(Handler handler, const Json::Value& request) {
        return handler(*board_, request).here().reply;
    }
    // "set_net_conf": the reply's ret_val.
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
    // Every file under etc/ and opt/ with its content (folders as "<folder>").
    std::map<std::string, std::string> files() const {
        std::map<std::string, std::string> found;
        for (const char* top : {"/etc", "/opt"}) {
            for (const auto& e : std::filesystem::recursive_directory_iterator(dir_ + top)) {
                const std::string rel = e.path().string().substr(dir_.size());
                found[rel] = e.is_directory() ? "<folder>" : contents(rel.substr(1));
            }
        }
        return found;
    }

    std::unique_ptr<BoardContext> board_;
    bool gatewayAnswers_ = true;
    int gatewayChecks_ = 0;
};
