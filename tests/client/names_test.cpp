// SPDX-License-Identifier: Apache-2.0
// Console servers named by names, looked up in the lines' loop while the DNS server the test
// plays answers late, never, or with several addresses. The program runs in a network and
// mount namespace of its own (made in main, before any thread), whose /etc/resolv.conf names
// that server on its own loopback: this machine's resolver and network are never touched.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "line_calls.h"
#include "spawned.h"

namespace {

using qfclient::Outcome;
using Clock = std::chrono::steady_clock;

constexpr int kTimeoutMs = 2000;

// Why the namespace could not be made; empty when it was.
std::string& sandboxProblem() {
    static std::string problem = "not tried";
    return problem;
}

// The folder of the namespace's own files, removed at the end.
std::string& sandboxFolder() {
    static std::string folder;
    return folder;
}

const char* const kOwnFiles[] = {"/etc/resolv.conf", "/etc/hosts", "/etc/nsswitch.conf"};

bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    return static_cast<bool>(out.flush());
}

// Enters a network and mount namespace of its own (with a user namespace unless root),
// with loopback up and /etc/resolv.conf and /etc/hosts of the test's.
std::string enterSandbox() {
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    const int flags = CLONE_NEWNS | CLONE_NEWNET | (uid == 0 ? 0 : CLONE_NEWUSER);
    if (::unshare(flags) != 0) return std::string("unshare: ") + std::strerror(errno);
    if (uid != 0 && !(writeFile("/proc/self/setgroups", "deny") &&
                      writeFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
                      writeFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")))
        return "cannot map the user";
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("mount: ") + std::strerror(errno);
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    ifr.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
    const bool up = s >= 0 && ::ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    ::close(s);
    if (!up) return std::string("cannot bring loopback up: ") + std::strerror(errno);
    char dir[] = "/tmp/quillferry-names-XXXXXX";
    if (::mkdtemp(dir) == nullptr) return "mkdtemp";
    sandboxFolder() = dir;
    const std::pair<std::string, std::string> files[] = {
        {kOwnFiles[0], "nameserver 127.0.0.1\noptions timeout:5 attempts:1\n"},
        {kOwnFiles[1], "127.0.0.1 localhost\n"},
        {kOwnFiles[2], "hosts: files dns\n"},
    };
    for (const auto& [target, text] : files) {
        const std::string own = std::string(dir) + target.substr(target.rfind('/'));
        if (!writeFile(own, text)) return "cannot write " + own;
        if (::access(target.c_str(), F_OK) != 0 && target != "/etc/resolv.conf") continue;
        if (::mount(own.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return "cannot put " + target + " in place: " + std::strerror(errno);
    }
    return std::string();
}

// A DNS server on 127.0.0.1:53 of the namespace: for each name it knows, A records after a
// delay (none: never an answer); NXDOMAIN for others; AAAA queries get no records. Counts
// the A queries by name.
class FakeDns {
public:
    struct Answer {
        int delayMs;                         // negative: never
        std::vector<std::string> addresses;  // IPv4
    };

    explicit FakeDns(std::map<std::string, Answer> answers) : answers_(std::move(answers)) {
        socket_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_in addr{AF_INET, htons(53), {htonl(INADDR_LOOPBACK)}, {}};
        if (!socket_.valid() ||
            ::bind(socket_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
            throw std::runtime_error(std::string("cannot serve DNS: ") + std::strerror(errno));
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeDns() {
        stop_ = true;
        thread_.join();
    }
    int queries(const std::string& name) {
        const std::lock_guard<std::mutex> lock(mutex_);
        return count_[name];
    }

private:
    void serve() {
        std::vector<std::thread> late;  // each sends one answer after its delay
        for (pollfd p = {socket_.get(), POLLIN, 0}; !stop_; ::poll(&p, 1, 10)) {
            char q[512];
            sockaddr_in from{};
            socklen_t len = sizeof(from);
            const ssize_t n = ::recvfrom(socket_.get(), q, sizeof(q), 0,
                                         reinterpret_cast<sockaddr*>(&from), &len);
            const std::string query(q, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
            int delayMs = 0;
            const std::string reply = n > 12 ? answer(query, delayMs) : "";
            if (reply.empty()) continue;
            late.emplace_back([this, from, reply, delayMs] {
                std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
                ::sendto(socket_.get(), reply.data(), reply.size(), 0,
                         reinterpret_cast<const sockaddr*>(&from), sizeof(from));
            });
        }
        for (std::thread& t : late) t.join();
    }

    // The reply to `query` and its delay; empty: none.
    std::string answer(const std::string& query, int& delayMs) {
        // The question: labels up to the zero byte, then type and class.
        std::string name;
        std::size_t at = 12;
        for (; at < query.size() && query[at] != 0; at += 1 + static_cast<unsigned char>(query[at]))
            name += (name.empty() ? "" : ".") +
                    query.substr(at + 1, static_cast<unsigned char>(query[at]));
        if (at + 5 > query.size()) return "";
        const bool a = query[at + 1] == 0 && query[at + 2] == 1;
        const auto found = answers_.find(name);
        const Answer answer = found == answers_.end() ? Answer{0, {}} : found->second;
        if (a) {
            const std::lock_guard<std::mutex> lock(mutex_);
            ++count_[name];
        }
        delayMs = answer.delayMs;
        const std::size_t count = a ? answer.addresses.size() : 0;
        // The id, a response (NXDOMAIN for a name not known), the question and the answers.
        std::string reply = query.substr(0, 2) +
                            (found == answers_.end() ? "\x81\x83" : "\x81\x80") +
                            std::string("\x00\x01\x00", 3) + static_cast<char>(count) +
                            std::string(4, '\0') + query.substr(12, at + 5 - 12);
        for (std::size_t i = 0; i < count; ++i) {
            in_addr addr{};
            ::inet_pton(AF_INET, answer.addresses[i].c_str(), &addr);
            reply += std::string("\xc0\x0c\x00\x01\x00\x01\x00\x00\x00\x3c\x00\x04", 12) +
                     std::string(reinterpret_cast<const char*>(&addr), 4);
        }
        return delayMs < 0 ? "" : reply;
    }

    std::map<std::string, Answer> answers_;
    UniqueFd socket_;
    std::mutex mutex_;
    std::map<std::string, int> count_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A listener on `ip`:`port` whose queue is full: connections to it are never answered (their
// first packet is dropped), as to a host that has gone.
struct Unanswering {
    Unanswering(const char* ip, int port)
        : listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in addr{AF_INET, htons(static_cast<std::uint16_t>(port)), {}, {}};
        ::inet_pton(AF_INET, ip, &addr.sin_addr);
        auto* a = reinterpret_cast<sockaddr*>(&addr);
        if (::bind(listener.get(), a, sizeof(addr)) != 0 || ::listen(listener.get(), 0) != 0)
            throw std::runtime_error("cannot listen on " + std::string(ip));
        for (int i = 0; i < 3; ++i) {
            fillers.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            if (::connect(fillers.back().get(), a, sizeof(addr)) != 0 && errno != EINPROGRESS)
                throw std::runtime_error("cannot fill the queue of " + std::string(ip));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    UniqueFd listener;
    std::vector<UniqueFd> fillers;
};

class ClientNames : public ::testing::Test {
protected:
    void SetUp() override {
        QF_REQUIRE(
            sandboxProblem().empty() ? "" : "no network namespace of its own: " + sandboxProblem());
    }
};

// A name whose server answers late, one it never answers, one it does not know, and names
// of several addresses that refuse or never answer before the one that does: every line
// gets its own result within its own deadline, and a line given an address needs no name
// server at all.
TEST_F(ClientNames, LookupsNeverHoldUpTheLoopAndEveryAddressIsTried) {
    std::vector<std::unique_ptr<FakeConsole>> consoles;
    const auto answering = [&] {
        consoles.push_back(
            std::make_unique<FakeConsole>(FakeConsole::answering("", qfclient::probeAck())));
        return consoles.back()->port();
    };
    const int literal = answering();
    const int slow = answering();
    const int slowAgain = answering();
    const int two = answering();
    const int hung = answering();
    const Unanswering gone("127.0.0.4", hung);
    std::vector<std::string> many;
    many.reserve(20);
    // Twenty: an answer fits the 512 bytes of DNS over UDP.
    for (int i = 0; i < 20; ++i) many.push_back("127.0.1." + std::to_string(i + 1));
    FakeDns dns({{"dead.test", {-1, {}}},
                 {"slow.test", {1200, {"127.0.0.1"}}},
                 {"two.test", {0, {"127.0.0.3", "127.0.0.1"}}},
                 {"hung.test", {0, {"127.0.0.4", "127.0.0.1"}}},
                 {"many.test", {0, many}}});
    const auto at = [](const char* host, int port) {
        return std::string("tcp:") + host + ":" + std::to_string(port);
    };
    const struct Case {
        const char* what;
        std::string address;
        Outcome outcome;
        const char* detail;
        int minMs;
        int maxMs;
    } cases[] = {
        {"an address beside a dead name server", at("127.0.0.1", literal), Outcome::Ok, "", 0, 500},
        {"a name never answered", at("dead.test", literal), Outcome::Unavailable,
         "cannot resolve dead.test (tcp:dead.test:", kTimeoutMs, kTimeoutMs + 500},
        {"a name answered late", at("slow.test", slow), Outcome::Ok, "", 1200, kTimeoutMs},
        {"the same name at once", at("slow.test", slowAgain), Outcome::Ok, "", 1200, kTimeoutMs},
        {"a name not known", at("none.test", literal), Outcome::Unavailable,
         "cannot resolve none.test", 0, 500},
        {"the first address refuses", at("two.test", two), Outcome::Ok, "", 0, 500},
        {"the first address never answers", at("hung.test", hung), Outcome::Ok, "", 900,
         kTimeoutMs - 200},
        {"sixteen addresses tried, no more", at("many.test", literal), Outcome::Unavailable,
         "127.0.1.16: Connection refused", 0, 500},
    };
    std::vector<LineCall> calls;
    for (const Case& c : cases) calls.push_back({c.address});
    const std::vector<qfclient::Result> results = callAll(calls, kTimeoutMs);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const qfclient::Result& r = results[i];
        EXPECT_EQ(r.outcome, cases[i].outcome) << cases[i].what << ": " << r.detail;
        EXPECT_HAS(r.detail, cases[i].detail) << cases[i].what;
        EXPECT_GE(r.elapsedMs, cases[i].minMs) << cases[i].what;
        EXPECT_LT(r.elapsedMs, cases[i].maxMs) << cases[i].what;
    }
    EXPECT_LACKS(results[7].detail, "127.0.1.17");
    // Both lines to slow.test shared one lookup.
    EXPECT_EQ(dns.queries("slow.test"), 1);
    consoles.clear();
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Before any thread is started: a namespace is entered by a single-threaded process.
    if (!::testing::GTEST_FLAG(list_tests)) sandboxProblem() = enterSandbox();
    const int status = RUN_ALL_TESTS();
    if (!sandboxFolder().empty()) {
        for (const char* target : kOwnFiles) ::umount2(target, MNT_DETACH);
        std::filesystem::remove_all(sandboxFolder());
    }
    return status;
}
