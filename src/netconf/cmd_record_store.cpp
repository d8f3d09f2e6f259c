#include "netconf/cmd_record_store.h"

#include <cstdio>
#include <string>

#include "core/atomic_file.h"
#include "core/constants.h"
#include "core/platform.h"
#include "core/util.h"

Json::Value readRecordSet(const char* path) {
    Json::Value records;
    std::string text;
    if (!readFileCapped(path, qf::kCmdRecordReadCap, text)) {
        std::fprintf(stderr, "readCmdRecords open file fail %s\n", path);
        return records;
    }
    text.resize(std::char_traits<char>::length(text.c_str()));  // up to the first zero byte
    if (text.empty()) {
        std::fprintf(stderr, "readCmdRecords retstr is empty\n");
        return records;
    }
    if (!parseJson(text, records)) std::fprintf(stderr, "readCmdRecords parse fail\n");
    return records;
}

bool storeRecord(const char* path, const Json::Value& request) {
    const std::string key = request["cmd"].asString();
    Json::Value records = readRecordSet(path);
    // A file we never wrote (not an object) is replaced like a missing one.
    if (!records.isObject()) {
        std::fprintf(stderr, "writeCmd2File cmd_key:%s create new file\n", key.c_str());
        Json::Value fresh(Json::objectValue);
        fresh[key] = request;
        // As before, a new record that cannot be written is not reported to the caller.
        writeFileAtomic(path, fresh.toStyledString());
        return true;
    }
    if (records.isMember(key)) {
        std::fprintf(stderr, "writeCmd2File cmd_key:%s exit replace\n", key.c_str());
    } else {
        std::fprintf(stderr, "writeCmd2File cmd_key:%s need insert\n", key.c_str());
    }
    records[key] = request;
    if (!writeFileAtomic(path, records.toStyledString())) {
        std::fprintf(stderr, "writeCmd2File remove file fail\n");
        return false;
    }
    return true;
}

Json::Value Platform::readCmdRecords() {
    return readRecordSet(qf::kCmdRecordFile);
}

bool Platform::writeCmd2File(const Json::Value& request) {
    return storeRecord(qf::kCmdRecordFile, request);
}
