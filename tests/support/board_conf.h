// SPDX-License-Identifier: Apache-2.0
// One configuration of the board as the tests and benchmarks send it (the client's own
// builder), and what the board's files hold once it is applied (golden.h, never the daemon's
// code).
#pragma once

#include <json/json.h>

#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>

#include "golden.h"
#include "quillferry/request.h"

namespace qftest {

struct BoardConf {
    bool v6 = false;
    int net = 0;  // 10.<net>.0.0/24 or fd00:<net>::/64 (<net> up to 255)
    int containers = 2;
    // IPv6 sends one name server and the board fills in its default as the second.
    std::string search = "quillferry.internal";
    std::string idc = "dc1";
    int pod = 3;

    static BoardConf at(int net, bool v6 = false) {
        BoardConf c;
        c.net = net;
        c.v6 = v6;
        return c;
    }
    std::string prefixText() const {
        // As the kernel prints it: fd00::, fd00:1::, ...
        if (v6) return net == 0 ? "fd00::" : "fd00:" + std::to_string(net) + "::";
        return "10." + std::to_string(net) + ".0.";
    }
    std::string address() const { return prefixText() + "8"; }
    int prefix() const { return v6 ? 64 : 24; }
    std::string gateway() const { return prefixText() + "1"; }
    std::string dns1() const { return prefixText() + "53"; }
    std::string dns2() const { return v6 ? "fdbd:dc00::10:8:8:8" : prefixText() + "54"; }
    std::string containerIp(int c) const { return prefixText() + std::to_string(100 + c); }
    std::string mac(int c) const {
        char text[24];
        std::snprintf(text, sizeof(text), "02:00:00:00:%02x:%02x", static_cast<unsigned>(net) % 256,
                      static_cast<unsigned>(c) % 256);
        return text;
    }

    Json::Value request(const std::string& uuid) const {
        qfclient::NetSettings s;
        s.address = address() + "/" + std::to_string(prefix());
        s.gateway = gateway();
        s.dns = {dns1()};
        if (!v6) s.dns.push_back(dns2());
        s.idc = idc;
        s.socIp = address();
        s.podId = pod;
        s.containers.emplace();
        for (int c = 1; c <= containers; ++c) s.containers->push_back({mac(c), containerIp(c)});
        Json::Value r;
        std::string error;
        if (!qfclient::setNetRequest(uuid, s, r, error)) throw std::invalid_argument(error);
        return r;
    }
    // The request as one line, without its newline.
    std::string line(const std::string& uuid) const { return qfclient::compactJson(request(uuid)); }

    // Each file of the board (path as the board names it) with its content once applied.
    std::map<std::string, std::string> files() const {
        const auto ipConfig = [this](const std::string& ip) {
            return golden::ipConfig(ip, static_cast<std::uint32_t>(prefix()), gateway(), dns1(),
                                    dns2());
        };
        std::map<std::string, std::string> f = {
            {"/etc/network/interfaces",
             golden::interfaces(v6, address(), prefix(), gateway(), search)},
            {"/etc/resolv.conf", golden::resolver(search, dns1(), dns2())},
            {"/opt/.hostinfo",
             "idc=" + idc + ",soc_ip=" + address() + ",pod_id=" + std::to_string(pod)},
            {"/opt/.ipconfig.txt", ipConfig(address())},
        };
        for (int c = 1; c <= containers; ++c) {
            const std::string n = std::to_string(c);
            f["/opt/.lxc_ipconfig/mac_" + n] = mac(c);
            f["/opt/.lxc_ipconfig/ip_" + n] = containerIp(c);
            f["/opt/.lxc_ipconfig/ipconfig_" + n] = ipConfig(containerIp(c));
        }
        return f;
    }
    // The record file's content: the request under its command, as the record set is styled.
    std::string record(const std::string& uuid) const {
        Json::Value set;
        set["set_net_conf"] = request(uuid);
        return set.toStyledString();
    }
};

}  // namespace qftest
