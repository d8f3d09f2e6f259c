// SPDX-License-Identifier: Apache-2.0
// The board's files in a scratch folder, for unit tests of the handlers' decisions: a
// PlatformQcom over BoardPaths::under() the folder, never started, with stand-ins for ifdown
// and ifup that log how they were run to ifcmd.log and then run what fault.<name> says, and
// for the gateway check, which answers as gatewayAnswers_ says.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "core/platform_qcom.h"
#include "scratch_dir.h"

class ScratchBoard : public ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        for (const char* folder : {"etc/network", "usr/sbin", "data", "var/lib"})
            std::filesystem::create_directories(path(folder));
        // Made by the test with search bits (the daemon makes it without them, which only
        // root may enter), and so left alone by the daemon.
        std::filesystem::create_directories(path("opt/.lxc_ipconfig"));
        for (const char* name : {"ifdown", "ifup"}) {
            const std::string stub =
                "#!/bin/sh\necho \"${0##*/} $* parent=$(readlink /proc/$PPID/exe)\" >>" +
                path("ifcmd.log") + "\n[ -f " + path("fault.") + name + " ] && . " +
                path("fault.") + name + "\nexit 0\n";
            put(std::string("usr/sbin/") + name, stub.c_str());
            ::chmod(path(std::string("usr/sbin/") + name).c_str(), 0755);
        }
        restart();
    }

    // A fresh daemon on the same files, as after a restart: only the record is left.
    void restart() {
        platform_ = std::make_unique<PlatformQcom>(BoardPaths::under(dir_));
        platform_->setIfupTimeout(std::chrono::seconds(1));
        platform_->setGatewayCheck(
            [this](const std::string&, std::chrono::milliseconds, std::string& detail) {
                ++gatewayChecks_;
                detail = "the test's stand-in";
                return gatewayAnswers_;
            });
    }

    // "set_net_conf": the reply's ret_val.
    int set(const Json::Value& request) { return setReply(request)["ret_val"].asInt(); }
    Json::Value setReply(const Json::Value& request) {
        return platform_->setNetConf(request).reply;
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

    std::unique_ptr<PlatformQcom> platform_;
    bool gatewayAnswers_ = true;
    int gatewayChecks_ = 0;
};
