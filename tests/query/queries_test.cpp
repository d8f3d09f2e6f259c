// SPDX-License-Identifier: Apache-2.0
// The queries' answers from the board's files and the state that set_net_conf left, on a
// scratch board. (eth0's own address and MAC are read on the simulated board.)
#include <json/json.h>
#include <sys/stat.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "board_conf.h"
#include "captured_log.h"
#include "core/system_file.h"
#include "protocol/json_text.h"
#include "query/board_readings.h"
#include "scratch_board.h"

namespace {

using qftest::BoardConf;
// Written as a FIFO rather than a file.
constexpr const char* kFifo = "<fifo>";

class Queries : public ScratchBoard {
protected:
    // Writes `text` at the board's `file` (absolute), or a FIFO, or nothing when null.
    void write(const std::string& file, const char* text) const {
        std::filesystem::create_directories(std::filesystem::path(file).parent_path());
        std::filesystem::remove(file);
        if (text == kFifo) {
            ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
        } else if (text != nullptr) {
            std::ofstream(file) << text;
        }
    }
};

std::string compact(Json::Value v) {
    v.removeMember("mac");  // eth0's, of the machine the test runs on
    return qfclient::compactJson(v);
}

// A get_net_conf reply with `members` (each followed by a comma) and no name server.
std::string netConfReply(const std::string& members) {
    return R"({"cmd":"get_net_conf",)" + members +
           R"("method":"static","nameservers":[],"ret_val":0,"uuid":"q"})";
}

// After a restart the record is all that is reported, whatever its shape; once applied, the
// name servers and containers come along, and a remembered clear is reported once.
TEST_F(Queries, NetConfReportsTheRecordAndWhatWasApplied) {
    const char* v4 = R"("ipv4":{"address":"10.0.0.8","gateway":"10.0.0.1","netmask":24},)";
    const struct {
        const char* record;  // null: no file
        std::string reply;
    } records[] = {
        {nullptr, netConfReply("")},
        {"[1,2]", netConfReply("")},
        {R"({"set_net_conf":{"ipv4":24}})",
         netConfReply(R"("ipv4":{"address":"","gateway":"","netmask":0},)")},
        // The prefix is kept in 8 bits; a family that is no object reports the other's values.
        {R"({"set_net_conf":{"ipv4":{"address":"10.0.0.8","gateway":"10.0.0.1","netmask":280},)"
         R"("ipv6":[1]}})",
         netConfReply(std::string(v4) +
                      R"("ipv6":{"address":"10.0.0.8","gateway":"10.0.0.1","netmask":24},)")},
    };
    for (const auto& r : records) {
        std::filesystem::remove(path("opt/.cmd.txt"));
        put("opt/.cmd.txt", r.record);
        EXPECT_EQ(compact(netConf()), r.reply) << (r.record ? r.record : "none");
    }

    BoardConf conf;
    conf.v6 = true;
    ASSERT_EQ(set(conf.request("a")), 0);
    EXPECT_EQ(compact(netConf()),
              R"({"cmd":"get_net_conf","ipv6":{"address":"fd00::8","gateway":"fd00::1",)"
              R"("netmask":64},"lxclist":[{"ipv6":"fd00::101","mac":"02:00:00:00:00:01"},)"
              R"({"ipv6":"fd00::102","mac":"02:00:00:00:00:02"}],"method":"static",)"
              R"("nameservers":["fd00::53","fdbd:dc00::10:8:8:8"],"ret_val":0,"uuid":"q"})");
    ASSERT_EQ(set(qfclient::clearRequest("c", true)), 0);
    const std::string containersAsV4 =
        R"("lxclist":[{"ipv4":"fd00::101","mac":"02:00:00:00:00:01"},)"
        R"({"ipv4":"fd00::102","mac":"02:00:00:00:00:02"}],)";
    EXPECT_EQ(compact(netConf()), netConfReply(containersAsV4));
    // After a restart the record is the only trace of the clear: reported once, it moves the
    // state that get_stat reports.
    restart();
    const auto netconfState = [this] {
        return ask(handleGetStat, qfclient::statRequest("s"))["netconf"].asInt();
    };
    EXPECT_EQ(netconfState(), 0);
    EXPECT_EQ(compact(netConf()),
              netConfReply(R"("ipv6":{"address":"clear","gateway":"clear","netmask":0},)"));
    EXPECT_EQ(netconfState(), 1);
    EXPECT_EQ(compact(netConf()), netConfReply(""));
}

// The hottest thermal zone, whether every cluster runs at its top frequency, and the hardware
// facts, as the board's files give them (missing, negative, garbage).
TEST_F(Queries, StatusAndHardwareFollowTheBoardsFiles) {
    const BoardPaths paths = BoardPaths::under(dir_);
    using Freqs = std::array<const char*, 3>;  // null: the file is missing
    const Freqs top = {"1804800\n", "2419200\n", "2841600\n"};
    const struct {
        std::map<int, const char*> zones;  // index into the zone files; the others are missing
        Freqs freqs;
        const char* temp;
        const char* pwrLmt;
    } cases[] = {
        {{{0, "41000\n"}, {1, "45000\n"}, {2, "44999\n"}, {15, "-1\n"}}, top, "45000", "100"},
        {{{14, "52500\n"}, {15, "61000"}}, {top[0], "2419199\n", top[2]}, "61000", "0"},
        {{{3, "x\n"}}, top, "0", "100"},
        {{{1, "-5000\n"}, {8, "-7000\n"}}, {top[0], top[1], "2841601\n"}, "4294962296", "0"},
        {{{0, "45000\n"}}, {nullptr, top[1], top[2]}, "45000", "0"},
        // A FIFO is no status file: never waited for.
        {{{0, "45000\n"}, {1, kFifo}}, {top[0], kFifo, top[2]}, "45000", "0"},
    };
    for (const auto& c : cases) {
        restart();  // a missing file is looked for again only after a while
        for (std::size_t z = 0; z < paths.thermalZoneFiles.size(); ++z) {
            const auto it = c.zones.find(static_cast<int>(z));
            write(paths.thermalZoneFiles[z], it == c.zones.end() ? nullptr : it->second);
        }
        for (std::size_t i = 0; i < 3; ++i) write(paths.cpuFreqFiles[i], c.freqs[i]);
        EXPECT_EQ(compact(ask(handleGetStat, qfclient::statRequest("1"))),
                  std::string(R"({"cmd":"get_stat","cpu_pwr_lmt":)") + c.pwrLmt +
                      R"(,"cpu_temp":)" + c.temp + R"(,"netconf":0,"ret_val":0,"uuid":"1"})");
    }

    const struct {
        const char* meminfo;
        const char* gpuModel;
        const char* ram;
        const char* gpu;
    } hw[] = {
        {"MemTotal:  7612345 kB\nMemFree: 6 kB\n", "Adreno650\n", "8G LPDDR5", "Adreno650"},
        {"MemTotal: 15728640 kB\n", "Adreno 650 v2\n", "16G LPDDR5", "Adreno 650 v2"},
        // Only a newline is taken off the model; a first line without a number is 0.
        {"MemTotal: 11800000 kB\n", "Adreno650", "12G LPDDR5", "Adreno650"},
        {"MemTotal: kB\n", nullptr, "4G LPDDR5", ""},
        {"MemTotal: 7612345 kB\n", kFifo, "8G LPDDR5", ""},
    };
    for (const auto& c : hw) {
        write(paths.memInfoFile, c.meminfo);
        write(paths.gpuModelFile, c.gpuModel);
        Json::Value reply = ask(handleGetHwConf, qfclient::hwConfRequest("hw"));
        reply.removeMember("rom");  // the scratch folder's file system; the board's is sized
        EXPECT_EQ(compact(reply),
                  std::string(R"({"cmd":"get_hardware_conf","cpu":"QCS8250","gpu":")") + c.gpu +
                      R"(","ram":")" + c.ram + R"(","ret_val":0,"uuid":"hw"})")
            << c.meminfo;
    }
}

// A status file that is missing or holds no number is logged when it starts failing or fails
// otherwise, not per request (a board without some thermal zones would log a dozen lines).
TEST_F(Queries, FailingStatusFileIsLoggedOncePerChange) {
    const BoardPaths paths = BoardPaths::under(dir_);
    const std::vector<std::string> zones(paths.thermalZoneFiles.begin(),
                                         paths.thermalZoneFiles.begin() + 3);
    const std::string freq = paths.cpuFreqFiles[0];
    for (const std::string& zone : zones) write(zone, "40000\n");
    InfoFileCache files(0);  // a missing file is looked for on every read
    SourceFailures failures;
    const std::string missing = "get temp error: \n";
    const struct {
        std::string file;
        const char* text;  // null: removed
        std::string logged;
    } steps[] = {
        {zones[1], nullptr, missing},                     // begins to fail
        {zones[1], nullptr, ""},                          // fails as before
        {zones[1], "hot\n", "get temp error: hot\\n\n"},  // fails otherwise
        {zones[1], "hot\n", ""},
        {zones[1], "41000\n", ""},     // reads well
        {zones[1], nullptr, missing},  // and fails again
        {zones[2], nullptr, missing},  // another one
        {zones[2], nullptr, ""},
        {freq, "fast\n", "get cpu0 error: fast\\n\n"},
        {freq, "fast\n", ""},
    };
    for (const auto& step : steps) {
        write(step.file, step.text);
        captureLog();
        getCpuTemp(files, failures, zones);
        getCpuPwrLmt(files, failures, paths.cpuFreqFiles);
        EXPECT_EQ(capturedLog(), step.logged) << step.file << " " << (step.text ? step.text : "-");
    }
}

}  // namespace
