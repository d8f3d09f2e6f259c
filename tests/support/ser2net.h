// SPDX-License-Identifier: Apache-2.0
// Boards behind a console server for system tests: a Cable joins a simulated board's end of
// its line to a pty of the controller's, whose slave a client (or ser2net) opens as the
// board's serial device; Ser2net runs the real ser2net in the foreground on free loopback
// ports, one connection per device: raw TCP, telnet with RFC 2217, or any accepter of
// ser2net's (TLS: "ssl(key=K,cert=C),tcp").
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "board.h"
#include "fake_console.h"
#include "raw_pty.h"

extern char** environ;

class Cable {
public:
    explicit Cable(qftest::SimulatedBoard& board) : board_(board.link().fd()), pty_(openRawPty()) {
        thread_ = std::thread([this] {
            pollfd fds[2] = {{board_, POLLIN, 0}, {pty_.master.get(), POLLIN, 0}};
            char buf[4096];
            while (!stop_) {
                if (::poll(fds, 2, 50) <= 0) continue;
                for (int i = 0; i < 2; ++i) {
                    if ((fds[i].revents & POLLIN) == 0) continue;
                    const ssize_t n = ::read(fds[i].fd, buf, sizeof(buf));
                    if (n > 0 && ::write(fds[1 - i].fd, buf, static_cast<std::size_t>(n)) != n)
                        return;
                }
            }
        });
    }
    ~Cable() {
        stop_ = true;
        thread_.join();
    }
    Cable(const Cable&) = delete;
    Cable& operator=(const Cable&) = delete;
    const std::string& device() const { return pty_.slavePath; }

private:
    int board_;
    RawPty pty_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class Ser2net {
public:
    struct Port {
        std::string device;
        bool telnet = false;        // RFC 2217, else raw TCP
        int port = 0;               // set by the constructor
        std::string accepter = "";  // instead, up to the address: "telnet(rfc2217),ssl(...),tcp"
        std::string authdir = "";   // where ser2net finds the client certificates it takes

        static Port over(std::string accepter, std::string device, std::string authdir = "") {
            Port p;
            p.device = std::move(device);
            p.accepter = std::move(accepter);
            p.authdir = std::move(authdir);
            return p;
        }
    };

    // Whether ser2net is here; `why` says why not.
    static bool available(std::string& why) {
        if (std::system("command -v ser2net >/dev/null") == 0) return true;
        why = "ser2net is missing (tools/install-deps board)";
        return false;
    }

    // ser2net with one connection per port, its configuration and log in `dir`; returns
    // once every port takes connections.
    Ser2net(const std::string& dir, std::vector<Port> ports) : ports_(std::move(ports)) {
        std::ofstream config(dir + "/ser2net.yaml");
        int n = 0;
        for (Port& p : ports_) {
            loopbackSocket(0, &p.port);  // a free port: bound a moment, then closed
            const std::string accepter = !p.accepter.empty() ? p.accepter
                                         : p.telnet          ? "telnet(rfc2217),tcp"
                                                             : "tcp";
            config << "connection: &c" << n++ << "\n  accepter: " << accepter << ",127.0.0.1,"
                   << p.port << "\n  connector: serialdev," << p.device << ",115200n81,local\n";
            if (!p.authdir.empty()) config << "  options:\n    authdir: " << p.authdir << "\n";
        }
        config.close();
        const std::string file = dir + "/ser2net.yaml";
        const char* argv[] = {"ser2net", "-n", "-d", "-c", file.c_str(), nullptr};
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, (dir + "/ser2net.log").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        posix_spawnp(&pid_, "ser2net", &fa, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&fa);
        for (int i = 0; i < 100 && !listening(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        settle();
    }
    ~Ser2net() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
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
    pid_t pid_ = -1;
};
