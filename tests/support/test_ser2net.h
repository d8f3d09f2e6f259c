// SPDX-License-Identifier: Apache-2.0
// ser2net, the console server, for tests: in the foreground with a configuration of the
// test's, its ports on loopback; each port's connector is a serial device the test plays
// (a pty). Returns once every port takes connections.
#pragma once

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "spawned.h"

namespace qftest {

class TestSer2net {
public:
    struct Port {
        Port(std::string a, std::string d, std::string auth = "")
            : accepter(std::move(a)), device(std::move(d)), authdir(std::move(auth)) {}
        std::string accepter;  // up to the address: "tcp", "telnet(rfc2217),ssl(key=K,cert=C),tcp"
        std::string device;    // the serial device it joins
        std::string authdir;   // where ser2net finds the client certificates it takes
        int port = Spawned::freePort();
    };

    static bool available(std::string& why) {
        if (std::system("command -v ser2net >/dev/null") == 0) return true;
        why = "ser2net is missing (tools/install-deps board)";
        return false;
    }

    TestSer2net(const std::string& dir, const std::vector<Port>& ports) : dir_(dir) {
        std::ofstream config(dir_ + "/ser2net.yaml");
        for (std::size_t i = 0; i < ports.size(); ++i) {
            config << "connection: &c" << i << "\n  accepter: " << ports[i].accepter
                   << ",127.0.0.1," << ports[i].port << "\n  connector: serialdev,"
                   << ports[i].device << ",115200n81,local\n";
            if (!ports[i].authdir.empty())
                config << "  options:\n    authdir: " << ports[i].authdir << "\n";
        }
        config.close();
        ser2net_.start({"ser2net", "-n", "-d", "-c", dir_ + "/ser2net.yaml"},
                       dir_ + "/ser2net.log");
        for (const Port& p : ports) {
            if (!Spawned::waitForPort(p.port))
                throw std::runtime_error("ser2net does not take connections on " +
                                         std::to_string(p.port));
        }
        settle();
    }
    // ser2net closes a port's device a moment after its client left.
    static void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(300)); }

private:
    std::string dir_;
    Spawned ser2net_;
};

}  // namespace qftest
