// SPDX-License-Identifier: Apache-2.0
// The real ser2net in the foreground on free loopback ports, one connection per device (a
// board the test plays, or a simulated board's Cable): raw TCP, telnet with RFC 2217, or any
// accepter of ser2net's (TLS: "ssl(key=K,cert=C),tcp").
#pragma once

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "cable.h"
#include "spawned.h"

class Ser2net {
public:
    struct Port {
        std::string device;
        std::string accepter = "tcp";  // up to the address: "telnet(rfc2217),ssl(...),tcp"
        std::string authdir = "";      // where ser2net finds the client certificates it takes
        int port = 0;                  // set by the constructor
    };

    // ser2net with one connection per port, its configuration and log in `dir`; returns
    // once every port takes connections.
    Ser2net(const std::string& dir, std::vector<Port> ports) : ports_(std::move(ports)) {
        std::ofstream config(dir + "/ser2net.yaml");
        int n = 0;
        for (Port& p : ports_) {
            loopbackSocket(0, &p.port);  // a free port: bound a moment, then closed
            config << "connection: &c" << n++ << "\n  accepter: " << p.accepter << ",127.0.0.1,"
                   << p.port << "\n  connector: serialdev," << p.device << ",115200n81,local\n";
            if (!p.authdir.empty()) config << "  options:\n    authdir: " << p.authdir << "\n";
        }
        config.close();
        ser2net_.start({"ser2net", "-n", "-d", "-c", dir + "/ser2net.yaml"}, dir + "/ser2net.log");
        for (int i = 0; i < 100 && !listening(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        settle();
    }
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    int port(std::size_t i) const { return ports_[i].port; }
    // ser2net closes a port's device a moment after its client left.
    static void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(300)); }

private:
    bool listening() const {
        for (const Port& p : ports_) {
            if (!loopbackSocket(p.port).valid()) return false;
        }
        return true;
    }

    std::vector<Port> ports_;
    Spawned ser2net_;
};
