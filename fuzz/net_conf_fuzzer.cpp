// SPDX-License-Identifier: Apache-2.0
// The checks of a "set_net_conf" request, alone (no board, no sandbox): the bytes parsed as
// the loop parses a line, then read and judged as the handler does. Besides the sanitizers:
// whatever the checks let through must not break the lines of the files it reaches (no line
// break or zero byte in an interface, resolver or host information line), and what it puts in
// force must read back as the same from the state file.
#include <json/json.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "core/constants.h"
#include "fuzz_check.h"
#include "netconf/host_files.h"
#include "netconf/host_network.h"
#include "netconf/in_force.h"
#include "protocol/json_text.h"
#include "protocol/net_conf_request.h"

namespace {

void checkLines(const Lines& lines) {
    for (const std::string& line : lines) {
        if (line.find_first_of(std::string("\n\r\0", 3)) != std::string::npos)
            fuzzFinding("a line broken by a value", line);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Json::Value request;
    if (!parseJson(std::string(reinterpret_cast<const char*>(data), size), request) ||
        !request.isObject() || !hasNetConfShape(request))
        return 0;
    const NetConfRequest conf = readNetConfRequest(request);
    if (conf.verifyGatewayGiven && !conf.isClear()) (void)verifyGatewayProblem(conf);
    if (conf.isClear() || !conf.isComplete() || !netConfProblem(conf).empty()) return 0;

    checkLines(interfaceFileLines(conf.ipType, conf.address, conf.gateway, conf.prefixLength,
                                  qf::kDefaultDnsSearch));
    checkLines(resolverFileLines(qf::kDefaultDnsSearch, conf.dns1, conf.dns2));
    const std::string hostInfo = hostInfoText(conf.idc, conf.socIp, conf.podId);
    checkLines({hostInfo});
    // Three members, no value with a separator of its own.
    if (std::count(hostInfo.begin(), hostInfo.end(), ',') != 2 ||
        std::count(hostInfo.begin(), hostInfo.end(), '=') != 3)
        fuzzFinding("host information of another shape", hostInfo);

    const InForce applied = appliedInForce(conf, InForce{});
    InForce read;
    std::string why;
    if (!parseInForce(renderInForce(applied), read, why) || !(read == applied))
        fuzzFinding("what is in force does not read back", why);
    return 0;
}
