// SPDX-License-Identifier: Apache-2.0
#include "netconf/cmd_record_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "captured_log.h"
#include "core/constants.h"
#include "expect_text.h"
#include "protocol/json_text.h"
#include "scratch_dir.h"

namespace {

class RecordStore : public ScratchDir {
protected:
    static Json::Value request(const std::string& uuid) {
        Json::Value r;
        parseJson(R"({"cmd":"set_net_conf","uuid":")" + uuid + R"(","extra":[1,{"k":null}]})", r);
        return r;
    }
    std::string file() const { return path("cmd.txt"); }
};

TEST_F(RecordStore, KeepsTheLatestRequestPerCommandAndOtherMembers) {
    // A record file that does not parse is no record, never an exception; one beyond 4 KiB is
    // read whole.
    const std::string deep = std::string(1000, '[') + std::string(1000, ']');
    const std::string big =
        R"({"get_stat":{"cmd":"get_stat","uuid":")" + std::string(6000, 'u') + R"("}})";
    struct Step {
        const char* before;  // nullptr: file absent
        const char* logLine;
        bool keepsGetStat;
    } const steps[] = {
        {nullptr, "readCmdRecords open file fail", false},
        {"", "readCmdRecords retstr is empty", false},
        {"not json", "readCmdRecords parse fail", false},
        {deep.c_str(), "readCmdRecords parse fail", false},
        {R"({"get_stat":{"cmd":"get_stat"},"set_net_conf":{"cmd":)", "parse fail", false},
        {"[1,2]", "create new file", false},
        {R"({"set_net_conf":{"cmd":"set_net_conf","uuid":"old"}})",
         "writeCmd2File cmd_key:set_net_conf exit replace", false},
        {big.c_str(), "writeCmd2File cmd_key:set_net_conf need insert", true},
    };
    for (const Step& s : steps) {
        ::unlink(file().c_str());
        put("cmd.txt", s.before);
        captureLog();
        EXPECT_TRUE(storeRecord(file().c_str(), request("new")));
        EXPECT_HAS(capturedLog(), s.logLine);

        const Json::Value records = readRecordSet(file().c_str());
        EXPECT_EQ(records["set_net_conf"], request("new")) << contents("cmd.txt");
        EXPECT_EQ(records.isMember("get_stat"), s.keepsGetStat) << s.before;
    }
    // The record is the text up to a zero byte: one that starts with it is empty.
    const char torn[] = "\0{\"get_stat\":{}}";
    std::ofstream(file(), std::ios::binary) << std::string(torn, sizeof torn - 1);
    captureLog();
    EXPECT_TRUE(readRecordSet(file().c_str()).isNull());
    EXPECT_HAS(capturedLog(), "readCmdRecords retstr is empty");
}

// A record that cannot be stored says so, whether it replaces a record or makes the first.
TEST_F(RecordStore, FailedStoreKeepsTheOldFileAndSaysSo) {
    for (const char* old : {R"({"set_net_conf":{"cmd":"set_net_conf","uuid":"old"}})", ""}) {
        std::filesystem::remove_all(path(".cmd.txt.quillferry-new"));
        put("cmd.txt", old);
        const std::string before = contents("cmd.txt");
        // The temporary file's name is taken by a folder, so the replacement cannot be written.
        ASSERT_EQ(::mkdir(path(".cmd.txt.quillferry-new").c_str(), 0700), 0);
        ASSERT_EQ(::mkdir(path(".cmd.txt.quillferry-new/x").c_str(), 0700), 0);
        captureLog();
        EXPECT_FALSE(storeRecord(file().c_str(), request("new")));
        EXPECT_EQ(capturedLog().find("writeCmd2File replace file fail, the old record is kept\n") !=
                      std::string::npos,
                  *old != '\0');
        EXPECT_EQ(contents("cmd.txt"), before);
    }
}

// The largest request a line may carry is stored and read back whole; a larger file is none.
TEST_F(RecordStore, ReadLimitHoldsTheLargestRequestAndNoMore) {
    std::string body = R"({"k":"v"})";
    const auto line = [&body](const std::string& b) {
        return R"({"cmd":"set_net_conf","uuid":"w","x":)" +
               std::string(qf::kMaxJsonDepth - 2, '[') + b +
               std::string(qf::kMaxJsonDepth - 2, ']') + "}";
    };
    for (std::string longer = body + R"(,{"k":"v"})";
         line(longer).size() < qf::kReadBufferSize &&
         jsonShape(line(longer)).values <= qf::kMaxJsonValues;
         longer += R"(,{"k":"v"})")
        body = longer;
    Json::Value largest;
    ASSERT_TRUE(parseJson(line(body), largest));
    ASSERT_TRUE(storeRecord(file().c_str(), largest));
    EXPECT_EQ(readRecordSet(file().c_str())["set_net_conf"], largest);

    put("cmd.txt", (R"({"set_net_conf":{"cmd":"set_net_conf","x":")" +
                    std::string(qf::kCmdRecordReadCap, 'x') + "\"}}")
                       .c_str());
    EXPECT_TRUE(readRecordSet(file().c_str()).isNull());
}

}  // namespace
