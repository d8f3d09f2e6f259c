// SPDX-License-Identifier: Apache-2.0
// quillferry-ctl's fleet command on real daemons, one on each kind of line.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>

#include "board.h"
#include "expect_text.h"
#include "inventory_text.h"
#include "scratch_dir.h"
#include "ser2net.h"
#include "test_pki.h"
#include "test_sshd.h"

namespace {

using qftest::Cable;
using qftest::SimulatedBoard;

class CtlFleetSystem : public ScratchDirOver<qftest::BoardTest> {
protected:
    void SetUp() override {
        ScratchDirOver<qftest::BoardTest>::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        QF_REQUIRE(missingProgram({"promtool", "ser2net", "openssl"}) +
                   qftest::TestSshd::missing());
    }

    // The exit status of the built quillferry-ctl with `args`; what it wrote is in out().
    int ctl(const std::string& args) const {
        const int status =
            std::system((QF_CTL_PATH " " + args + " >" + path("out") + " 2>&1").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string out() const { return contents("out"); }
};

// A local line, ser2net's raw, telnet, TLS and telnet-inside-TLS ports, and sshd with a port
// selector as its user, all in one loop.
TEST_F(CtlFleetSystem, BoardsOnEveryKindOfLineTakeTheirOwnConfiguration) {
    const char* names[] = {"local", "raw", "telnet", "ssh", "tls", "telnets"};
    std::vector<std::unique_ptr<SimulatedBoard>> boards;
    std::vector<std::unique_ptr<Cable>> cables;
    for (std::size_t i = 0; i < std::size(names); ++i) {
        boards.push_back(std::make_unique<SimulatedBoard>());
        boards.back()->startDaemon();
        cables.push_back(std::make_unique<Cable>(*boards.back()));
    }
    const qftest::TestPki pki(folder("pki"));
    const std::string ssl = "ssl(key=" + pki.serverKey + ",cert=" + pki.server + "),tcp";
    const Ser2net ser2net(folder("ser2net"), {{cables[1]->device()},
                                              {cables[2]->device(), "telnet(rfc2217),tcp"},
                                              {cables[4]->device(), ssl},
                                              {cables[5]->device(), "telnet(rfc2217)," + ssl}});
    // As a console server's port: one session at a time, the next told it is in use.
    const std::string device = cables[3]->device();
    const qftest::TestSshd sshd(
        folder("sshd"),
        {{"admin+port04", "flock -n " + device + " socat -t 0.1 - FILE:" + device +
                              ",rawer || { echo 'Port already in use'; exit 1; }"}});

    const auto port = [&](std::size_t i) { return std::to_string(ser2net.port(i)); };
    const std::string ca = R"(, "ca": ")" + pki.ca + "\"";
    const std::pair<std::string, std::string> lines[] = {
        {cables[0]->device(), ""},
        {"tcp:127.0.0.1:" + port(0), ""},
        {"telnet:127.0.0.1:" + port(1), ""},
        {sshd.address("admin+port04"), R"(, "identity": ")" + sshd.clientKey() +
                                           R"(", "known_hosts": ")" + sshd.knownHosts() + "\""},
        {"tls:localhost:" + port(2), ca},
        {"telnets:127.0.0.1:" + port(3), ca},
    };
    // Every other board on IPv6, each on a network of its own.
    std::vector<InventoryEntry> entries;
    std::vector<std::string> addresses;
    for (std::size_t i = 0; i < std::size(names); ++i) {
        const std::string net = std::to_string(i + 1);
        addresses.push_back(i % 2 == 1 ? "fd00:" + net + "::8/64" : "10.0." + net + ".8/24");
        entries.push_back(
            {names[i], lines[i].first,
             lines[i].second + networkMember(addresses[i], i % 2 == 1 ? "fd00:" + net + "::1"
                                                                      : "10.0." + net + ".1")});
    }
    const std::string inventory = "--inventory " + put("inventory.json", inventoryText(entries));

    EXPECT_EQ(ctl(inventory + " --format jsonl probe"), 0) << out();
    EXPECT_HAS(out(), "6 boards: 6 ok");
    Ser2net::settle();
    EXPECT_EQ(ctl(inventory + " --format jsonl set-net"), 0) << out();
    EXPECT_HAS(out(), "6 boards: 6 ok");
    for (std::size_t i = 0; i < std::size(names); ++i)
        EXPECT_HAS(boards[i]->readFile("etc/network/interfaces"), "address " + addresses[i]);

    // The metrics as node_exporter's textfile collector takes them.
    Ser2net::settle();
    const std::string metrics = path("metrics.prom");
    EXPECT_EQ(ctl(inventory + " --format prometheus --output " + metrics + " stat"), 0) << out();
    for (const char* name : names) {
        EXPECT_HAS(contents("metrics.prom"), std::string("network_configured{board=\"") + name +
                                                 "\",idc=\"dc1\",pod=\"3\"} 1");
    }
    EXPECT_EQ(std::system(("promtool check metrics <" + metrics).c_str()), 0);

    // Someone else on the port: line busy, as ser2net and the SSH port selector word it.
    Ser2net::settle();
    {
        const UniqueFd other = loopbackSocket(ser2net.port(0));
        EXPECT_EQ(ctl("--device tcp:127.0.0.1:" + port(0) + " probe"), 75) << out();
        EXPECT_HAS(out(), "line busy");
    }
    const UniqueFd holder(::open(device.c_str(), O_RDWR | O_NOCTTY));
    ASSERT_EQ(::flock(holder.get(), LOCK_EX), 0);
    EXPECT_EQ(ctl("--device " + sshd.address("admin+port04") + " --identity " + sshd.clientKey() +
                  " --known-hosts " + sshd.knownHosts() + " probe"),
              75)
        << out();
    EXPECT_HAS(out(), "Port already in use");
}

}  // namespace
