// SPDX-License-Identifier: Apache-2.0
#include "netconf/cmd_record_store.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>

#include "core/atomic_file.h"
#include "core/c_string.h"
#include "core/constants.h"
#include "core/log.h"
#include "netconf/host_files.h"
#include "protocol/json_text.h"

Json::Value readRecordSet(const char* path) {
    std::string text;
    std::string error;
    if (!readBoardFile(path, qf::kCmdRecordReadCap, text, error)) {
        const bool missing = errno == ENOENT;
        logLine("readCmdRecords open file fail %s", path);
        if (!missing) logLine("[QuillFerry] %s", error.c_str());
        return Json::Value();
    }
    text = upToZeroByte(std::move(text));
    if (text.empty()) {
        logLine("readCmdRecords retstr is empty");
        return Json::Value();
    }
    // Whatever keeps it from parsing (a torn or planted file, too deep), it is no record, and
    // the next store replaces it.
    Json::Value records;
    if (!parseJson(text, records, nullptr, kRecordLimits)) logLine("readCmdRecords parse fail");
    return records;
}

bool storeRecord(const char* path, const Json::Value& request) {
    const std::string key = request["cmd"].asString();
    Json::Value records = readRecordSet(path);
    std::string error;
    // A file we never wrote (not an object) is replaced like a missing one.
    if (!records.isObject()) {
        logLine("writeCmd2File cmd_key:%s create new file", visible(key).c_str());
        Json::Value fresh(Json::objectValue);
        fresh[key] = request;
        if (writeFileAtomic(path, fresh.toStyledString(), std::nullopt, error)) return true;
        logWriteFailure(error);
        return false;
    }
    if (records.isMember(key)) {
        logLine("writeCmd2File cmd_key:%s exit replace", visible(key).c_str());
        // Gone before the copy comes in: the old and the new request are not held at once.
        records.removeMember(key);
    } else {
        logLine("writeCmd2File cmd_key:%s need insert", visible(key).c_str());
    }
    records[key] = request;
    if (writeFileAtomic(path, records.toStyledString(), std::nullopt, error)) return true;
    // The old record stays as it was: it is replaced by renaming, never removed first.
    logLine("writeCmd2File replace file fail, the old record is kept");
    logWriteFailure(error);
    return false;
}
