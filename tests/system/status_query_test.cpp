// "get_stat" and "get_hardware_conf" on a board whose sysfs, meminfo and /data are set
// from outside between requests.
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "board.h"

namespace qftest {
namespace {

constexpr int kZones[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 24};
constexpr const char* kFreqFiles[] = {
    "sys/devices/system/cpu/cpufreq/policy0/cpuinfo_cur_freq",
    "sys/devices/system/cpu/cpufreq/policy4/cpuinfo_cur_freq",
    "sys/devices/system/cpu/cpufreq/policy7/cpuinfo_cur_freq",
};
constexpr const char* kTopFreqs[] = {"1804800\n", "2419200\n", "2841600\n"};

std::string zoneFile(int zone) {
    return "sys/class/thermal/thermal_zone" + std::to_string(zone) + "/temp";
}

std::string repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

void setOrRemove(SimulatedBoard& board, const std::string& rel,
                 const std::optional<std::string>& text) {
    if (text) {
        board.writeFile(rel, *text);
    } else {
        board.removeFile(rel);
    }
}

using StatusQuery = BoardTest;

TEST_F(StatusQuery, GetStatReportsHottestZoneAndTopFrequencies) {
    SimulatedBoard& board = boot();
    using Freqs = std::array<std::optional<std::string>, 3>;
    const Freqs top = {kTopFreqs[0], kTopFreqs[1], kTopFreqs[2]};
    struct Case {
        const char* name;
        std::map<int, std::string> zones;  // zones not listed are missing
        Freqs freqs;
        const char* temp;
        const char* pwrLmt;
        std::string log;
    } const cases[] = {
        {"hottest of all",
         {{1, "41000\n"},
          {2, "45000\n"},
          {3, "44999\n"},
          {4, "12\n"},
          {5, "30000\n"},
          {6, "30000\n"},
          {7, "30000\n"},
          {8, "30000\n"},
          {9, "30000\n"},
          {10, "30000\n"},
          {11, "30000\n"},
          {12, "30000\n"},
          {13, "30000\n"},
          {14, "30000\n"},
          {15, "30000\n"},
          {24, "-1\n"}},
         top,
         "45000",
         "100",
         ""},
        {"three zones",
         {{1, "41000\n"}, {15, "52500\n"}, {24, "47000\n"}},
         top,
         "52500",
         "100",
         repeat("get temp error: \n", 13)},
        {"zone 24 counts", {{24, "61000"}}, top, "61000", "100", repeat("get temp error: \n", 15)},
        {"no zone", {}, top, "0", "100", repeat("get temp error: \n", 16)},
        {"all negative",
         {{2, "-5000\n"}, {9, "-7000\n"}},
         top,
         "4294962296",
         "100",
         repeat("get temp error: \n", 14)},
        {"not numbers",
         {{1, "hot\n"}, {2, " 40000 C\n"}, {3, "\n"}},
         top,
         "40000",
         "100",
         "get temp error: hot\n\nget temp error: \n\n" + repeat("get temp error: \n", 13)},
        {"cpu4 slower",
         {{1, "45000\n"}},
         {kTopFreqs[0], "2419199\n", kTopFreqs[2]},
         "45000",
         "0",
         repeat("get temp error: \n", 15)},
        {"cpu7 faster",
         {{1, "45000\n"}},
         {kTopFreqs[0], kTopFreqs[1], "2841601\n"},
         "45000",
         "0",
         repeat("get temp error: \n", 15)},
        {"cpu0 missing",
         {{1, "45000\n"}},
         {std::nullopt, kTopFreqs[1], kTopFreqs[2]},
         "45000",
         "0",
         repeat("get temp error: \n", 15)},
        {"cpu0 garbage",
         {{1, "45000\n"}},
         {"fast\n", kTopFreqs[1], kTopFreqs[2]},
         "45000",
         "0",
         repeat("get temp error: \n", 15) + "get cpu0 error: fast\n\n"},
    };
    for (const Case& c : cases) {
        for (const int zone : kZones) {
            const auto it = c.zones.find(zone);
            setOrRemove(
                board, zoneFile(zone),
                it == c.zones.end() ? std::nullopt : std::optional<std::string>(it->second));
        }
        for (int i = 0; i < 3; ++i) setOrRemove(board, kFreqFiles[i], c.freqs[i]);
        const LogMark m = board.mark();
        EXPECT_EQ(board.exchange(R"({"cmd":"get_stat","uuid":"1"})"),
                  std::string(R"({"cmd":"get_stat","cpu_pwr_lmt":)") + c.pwrLmt +
                      R"(,"cpu_temp":)" + c.temp + R"(,"netconf":0,"ret_val":0,"uuid":"1"})" + "\n")
            << c.name;
        EXPECT_EQ(board.logSince(m), c.log + SimulatedBoard::kProbeLog) << c.name;
    }
}

TEST_F(StatusQuery, GetHardwareConfReportsModelsAndRoundedSizes) {
    SimulatedBoard& board = boot();
    struct Case {
        std::string memTotalLine;
        std::optional<std::string> gpuModel;
        const char* ram;
        const char* gpu;
    } const cases[] = {
        {"MemTotal:        7612345 kB\n", "Adreno650\n", "8GLPDDR5", "Adreno650"},
        {"MemTotal:       15728640 kB\n", "Adreno 650 v2\n", "16GLPDDR5", "Adreno650v2"},
        {"MemTotal:       11800000 kB\n", "Adreno650", "12GLPDDR5", "Adreno65"},
        {"MemTotal:        5800000 kB\n", std::nullopt, "8GLPDDR5", ""},
        {"MemTotal:     1073741824 kB\n", "\n", "0GLPDDR5", ""},
        {"MemTotal: kB\n", "Adreno650\n", "4GLPDDR5", "Adreno650"},
    };
    for (const Case& c : cases) {
        board.writeFile("meminfo", c.memTotalLine + "MemFree:         6123456 kB\n");
        setOrRemove(board, "sys/kernel/gpu/gpu_model", c.gpuModel);
        EXPECT_EQ(board.exchange(R"({"cmd":"get_hardware_conf","uuid":"hw"})"),
                  std::string(R"({"cmd":"get_hardware_conf","cpu":"QCS8250","gpu":")") + c.gpu +
                      R"(","ram":")" + c.ram + R"(","ret_val":0,"rom":"128GUFS3.0","uuid":"hw"})" +
                      "\n")
            << c.memTotalLine;
    }
}

TEST_F(StatusQuery, StorageSizeFollowsTheDataFileSystem) {
    const struct {
        std::uint64_t bytes;
        const char* rom;
    } cases[] = {
        {29360128ULL * 4096, "128GUFS3.0"},  // 112 GiB
        {(63ULL << 30) + (1 << 29), "64GUFS3.0"},
        {3ULL << 30, "4GUFS3.0"},
        {1ULL << 40, "0GUFS3.0"},
    };
    for (const auto& c : cases) {
        BoardOptions options;
        options.dataSize = c.bytes;
        SimulatedBoard& board = boot(options);
        const std::string reply = board.request(R"({"cmd":"get_hardware_conf"})");
        EXPECT_NE(reply.find(std::string(R"("rom":")") + c.rom + "\""), std::string::npos)
            << c.bytes << " bytes: " << reply;
    }
}

}  // namespace
}  // namespace qftest
