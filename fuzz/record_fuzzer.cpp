// SPDX-License-Identifier: Apache-2.0
// The command record reader, alone (no board, no sandbox): the bytes as the record file in a
// scratch folder, read, then a request stored on top of whatever it held. Besides the
// sanitizers: the store must succeed and the record must then read back holding the request,
// whatever the file held before (not an object, torn, too deep, too large).
#include <json/json.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/atomic_file.h"
#include "fuzz_check.h"
#include "netconf/cmd_record_store.h"

namespace {

// A scratch folder of this process, on a memory file system when there is one.
const std::string& recordPath() {
    static const std::string path = [] {
        const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string folder = std::string(base) + "/quillferry-record-fuzz.XXXXXX";
        if (::mkdtemp(folder.data()) == nullptr) std::abort();
        static std::string made;
        made = folder;
        std::atexit([] {
            (void)!::unlink((made + "/.cmd.txt").c_str());
            (void)!::rmdir(made.c_str());
        });
        return folder + "/.cmd.txt";
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = recordPath();
    std::string error;
    if (!writeFileAtomic(path, std::string_view(reinterpret_cast<const char*>(data), size),
                         std::nullopt, error))
        fuzzFinding("cannot stage the record", error);
    (void)readRecordSet(path.c_str());

    Json::Value request(Json::objectValue);
    request["cmd"] = "set_net_conf";
    request["uuid"] = std::to_string(size);
    if (!storeRecord(path.c_str(), request)) fuzzFinding("store failed", path);
    const Json::Value records = readRecordSet(path.c_str());
    if (!records.isObject() || records["set_net_conf"] != request)
        fuzzFinding("the stored request does not read back", records.toStyledString());
    return 0;
}
