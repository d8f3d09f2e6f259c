// SPDX-License-Identifier: Apache-2.0
#include "ctl/options.h"

#include <gtest/gtest.h>

#include <iterator>
#include <sstream>

#include "ctl/session.h"
#include "expect_text.h"
#include "protocol/net_conf_request.h"

namespace {

ctl::ParseOutcome parse(const std::string& line) {
    std::istringstream words(line);
    const std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
    return ctl::parseCommandLine(args, "/d");
}

// A timeout is a finite number of seconds above 0; an apply waits a minute unless told, a tiny
// timeout still a millisecond.
TEST(CtlOptions, TimeoutsFollowTheRequest) {
    for (const char* bad : {"", "0", "-1", "nan", "inf", "1e9", "5s"}) {
        int ms = -7;
        EXPECT_FALSE(ctl::parseTimeout(bad, ms)) << bad;
    }
    const ctl::Options defaults;
    const auto clear = qfclient::requestCall(qfclient::clearRequest("u", false));
    EXPECT_EQ(ctl::replyTimeoutMs(defaults, qfclient::requestCall(qfclient::statRequest("u"))),
              5000);
    EXPECT_EQ(ctl::replyTimeoutMs(defaults, clear), 60000);
    EXPECT_EQ(ctl::replyTimeoutMs(parse("--timeout 0.0001 clear").options, clear), 1);
    // A verified apply may run ifdown and ifup four times and wait for its gateway.
    const std::pair<const char*, int> verified[] = {
        {R"({"cmd":"set_net_conf","verify_gateway":7})", 127000},
        {R"({"cmd":"set_net_conf","verify_gateway":500})", 240000},
        {R"({"cmd":"set_net_conf","verify_gateway":"7"})", 60000},
        {R"({"cmd":"get_net_conf","verify_gateway":7})", 5000},
    };
    for (const auto& [line, ms] : verified) {
        qfclient::Call call;
        std::string error;
        ASSERT_TRUE(qfclient::lineCall(line, call, error)) << error;
        EXPECT_EQ(ctl::replyTimeoutMs(defaults, call), ms) << line;
    }
}

// A command line sends only what the board's own checks accept, a refused value named; a
// misused command line is refused before anything is sent.
TEST(CtlOptions, CommandLinesSendOnlyWhatTheBoardWouldApply) {
    const std::string set =
        "set-net --uuid u --address 10.0.0.8/24 --gateway=10.0.0.1 --dns 8.8.8.8 --idc dc1 "
        "--soc-ip 10.0.0.8 --pod-id -3 ";
    const std::pair<std::string, const char*> cases[] = {
        {set + "--dns fd00::53 --container 02:00:00:00:00:09=10.0.0.9 "
               "--container=02:00:00:00:00:0A=10.0.0.10",
         R"({"cmd":"set_net_conf","ipv4":{"address":"10.0.0.8","gateway":"10.0.0.1","netmask":24},"location":{"idc":"dc1","pod_id":-3,"soc_ip":"10.0.0.8"},"lxclist":[{"ipv4":"10.0.0.9","mac":"02:00:00:00:00:09"},{"ipv4":"10.0.0.10","mac":"02:00:00:00:00:0A"}],"nameservers":["8.8.8.8","fd00::53"],"uuid":"u"})"},
        {set + "--address fd00::8/64 --gateway fd00::1",
         R"({"cmd":"set_net_conf","ipv6":{"address":"fd00::8","gateway":"fd00::1","netmask":64},"location":{"idc":"dc1","pod_id":-3,"soc_ip":"10.0.0.8"},"nameservers":["8.8.8.8"],"uuid":"u"})"},
        {set + "--verify-gateway 5",
         R"({"cmd":"set_net_conf","ipv4":{"address":"10.0.0.8","gateway":"10.0.0.1","netmask":24},"location":{"idc":"dc1","pod_id":-3,"soc_ip":"10.0.0.8"},"nameservers":["8.8.8.8"],"uuid":"u","verify_gateway":5})"},
        {"netconf --uuid u", R"({"cmd":"get_net_conf","in_force":true,"uuid":"u"})"},
        {set + "--verify-gateway 0", "verify_gateway '0': verify_gateway is not a whole number"},
        {set + "--verify-gateway 121", "verify_gateway '121'"},
        {set + "--verify-gateway 4294967301", "verify_gateway '4294967301'"},
        {set + "--verify-gateway 2s", "--verify-gateway '2s' is not a whole number"},
        {"clear --verify-gateway 5", "'--verify-gateway' applies only to set-net"},
        {"--inventory f stat --check", "'--check' applies only to set-net"},
        {set + "--diff", "'--diff' applies only with --inventory"},
        {set + "--force", "'--force' applies only with --inventory"},
        {"--inventory f set-net --check --force", "exclude each other"},
        {"clear --uuid u --ipv6",
         R"({"cmd":"set_net_conf","ipv6":{"address":"clear","gateway":"clear"},"location":{},"nameservers":[],"uuid":"u"})"},
        {set + "--container aa:bb=10.0.0.9", "container 1 mac 'aa:bb'"},
        {set + "--container 02:00:00:00:00:09=fd00::9", "container 1 address 'fd00::9'"},
        {set + "--container 02:00:00:00:00:09=10.0.0.9=x", "container 1 address '10.0.0.9=x'"},
        {set + "--idc dc\x01", "idc 'dc\\x01'"},
        {set + "--soc-ip board-7", "soc_ip 'board-7'"},
        {set + "--address 10.0.0.8/33", "address '10.0.0.8/33'"},
        {set + "--address 10.0.0.8", "is not ADDRESS/PREFIX"},
        {set + "--gateway fd00::1", "gateway 'fd00::1'"},
        {set + "--dns ns.example", "dns 'ns.example'"},
        {set + "--pod-id 1099511627776", "pod_id '1099511627776'"},
        {set + "--dns 1.1.1.1 --dns 9.9.9.9", "at most two"},
        {"set-net --address 10.0.0.8/24 --dns 8.8.8.8 --idc dc1 --soc-ip 10.0.0.8",
         "needs a value for: gateway, pod_id"},
        {"clear --dns 8.8.8.8", "option '--dns' applies only to set-net"},
        {"stat --ipv6", "'--ipv6' applies only to clear"},
        {"", "missing subcommand"},
        {"status", "unknown subcommand 'status'"},
        {"--verbose stat", "unknown option '--verbose'"},
        {"stat --device", "'--device' needs a value"},
        {"--raw=yes stat", "'--raw' takes no value"},
        {"send", "needs an argument: JSON"},
        {R"(send {"cmd":"x","uuid":7})", R"({"cmd":"x","uuid":7})"},
        // Read within the board's own bounds, never past the reader's.
        {"send {\"uuid\":" + std::string(100000, '['), "nested deeper than 64 levels"},
        {"stat extra", "unexpected argument 'extra'"},
        {"--uuid u probe", "--uuid applies only to"},
        {"--device= stat", "no line"},
        {"--timeout 5s stat", "invalid timeout"},
        {"set-net --pod-id 3x", "--pod-id '3x' is not an integer"},
        {"set-net --container aa", "is not MAC=ADDRESS"},
        {"--board a stat", "applies only with --inventory"},
        {"--inventory f send {}", "'send' is for one board"},
        {"--inventory f --address 10.0.0.8/24 set-net", "each board's own configuration"},
        {"--inventory f --raw stat", "'--raw' is for one board"},
        {"--inventory f --device /dev/x stat", "'--device' is for one board"},
        {"--inventory f --jobs 0 stat", "invalid --jobs"},
        {"--inventory f --format yaml stat", "invalid --format"},
        {"--inventory f --format prometheus hw", "only to probe and stat"},
        {"--inventory f --identity k stat", "'--identity' is for one board"},
        {"--inventory f --ca c stat", "each board names its own files"},
        {"--known-hosts", "'--known-hosts' needs a value"},
        // The boards as targets: nothing is sent, so nothing of a call applies.
        {"--inventory f --format prometheus-sd probe", "takes no subcommand"},
        {"--inventory f --format prometheus-sd --timeout 3", "'--timeout' does not apply"},
        {"--inventory f --format prometheus-sd --jobs 3", "'--jobs' does not apply"},
        {"--format prometheus-sd", "applies only with --inventory"},
    };
    for (const auto& [line, sentOrError] : cases) {
        const ctl::ParseOutcome parsed = parse(line);
        std::string error = parsed.error;
        qfclient::Call call;
        if (parsed.kind == ctl::ParseOutcome::Kind::Run)
            ctl::makeCall(parsed.options, parsed.options.net, parsed.options.ipv6, call, error);
        if (!error.empty()) {
            EXPECT_HAS(error, sentOrError) << line;
            continue;
        }
        EXPECT_EQ(call.line, sentOrError + std::string("\n")) << line;
        Json::Value request;
        ASSERT_TRUE(Json::Reader().parse(call.line, request));
        const bool setNet = parsed.options.subcommand == ctl::Subcommand::SetNet;
        EXPECT_EQ(setNet ? netConfProblem(readNetConfRequest(request)) : "", "") << line;
    }
    const ctl::Options secured =
        parse("--identity i --known-hosts h --ca c --cert=t --key k probe").options;
    EXPECT_EQ(secured.identity + secured.knownHosts + secured.ca + secured.cert + secured.key,
              "ihctk");
    EXPECT_EQ(parse("--inventory f --jobs 3 stat").options.jobs, 3);
    EXPECT_EQ(parse("--version probe").kind, ctl::ParseOutcome::Kind::Version);
    EXPECT_EQ(parse("probe -h").kind, ctl::ParseOutcome::Kind::Help);
}

}  // namespace
