#include "ctl/request.h"

#include <gtest/gtest.h>

#include <iterator>
#include <regex>
#include <sstream>

#include "ctl/options.h"

namespace {

TEST(CtlRequest, FreshUuidsAreRandomVersionFour) {
    const std::regex v4("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    const std::string first = ctl::newUuid();
    EXPECT_TRUE(std::regex_match(first, v4)) << first;
    EXPECT_NE(ctl::newUuid(), first);
}

// Command line (split at spaces) to the request line sent, or to the usage error.
TEST(CtlRequest, CommandLinesBuildTheirRequestsOrAreRefused) {
    const std::string v4 =
        "set-net --address 10.0.0.8/24 --gateway=10.0.0.1 --dns 8.8.8.8 "
        "--idc dc1 --soc-ip 10.0.0.8 --pod-id -3 ";
    struct Case {
        std::string args;
        const char* lineOrError;
    } const cases[] = {
        {"netconf", R"({"cmd":"get_net_conf","uuid":"u"})"},
        {"clear --ipv6",
         R"({"cmd":"set_net_conf","ipv6":{"address":"clear","gateway":"clear"},"location":{},"nameservers":[],"uuid":"u"})"},
        {v4 + "--dns fd00::53 --container aa:bb=10.0.0.9 --container=cc=10.0.0.10",
         R"({"cmd":"set_net_conf","ipv4":{"address":"10.0.0.8","gateway":"10.0.0.1","netmask":24},"location":{"idc":"dc1","pod_id":-3,"soc_ip":"10.0.0.8"},"lxclist":[{"ipv4":"10.0.0.9","mac":"aa:bb"},{"ipv4":"10.0.0.10","mac":"cc"}],"nameservers":["8.8.8.8","fd00::53"],"uuid":"u"})"},
        {v4 + "--address fd00::8/64 --gateway fd00::1 --container m=fd00::9",
         R"({"cmd":"set_net_conf","ipv6":{"address":"fd00::8","gateway":"fd00::1","netmask":64},"location":{"idc":"dc1","pod_id":-3,"soc_ip":"10.0.0.8"},"lxclist":[{"ipv6":"fd00::9","mac":"m"}],"nameservers":["8.8.8.8"],"uuid":"u"})"},
        {v4 + "--gateway fd00::1", "--gateway, an IPv4 address"},
        {v4 + "--address 10.0.0.8/33", "--address ADDRESS/PREFIX"},
        {v4 + "--dns 1.1.1.1 --dns 9.9.9.9", "at most two --dns"},
        {v4 + "--dns ns.example", "'ns.example' is not an IP address"},
        {v4 + "--idc=", "needs --idc, --soc-ip and --pod-id"},
        {v4 + "--container m=fd00::9", "address 'fd00::9' is not IPv4"},
        {"clear --dns 8.8.8.8", "option '--dns' applies only to set-net"},
        {"", "missing subcommand"},
        {"status", "unknown subcommand 'status'"},
        {"--verbose stat", "unknown option '--verbose'"},
        {"stat --device", "'--device' needs a value"},
        {"--raw=yes stat", "takes no value"},
        {"send", "needs an argument: JSON"},
        {"--uuid u probe", "--uuid applies only to"},
        {"--device= stat", "no device"},
        {"--timeout 5s stat", "invalid timeout"},
    };
    for (const Case& c : cases) {
        std::istringstream words(c.args);
        const std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
        const ctl::ParseOutcome parsed = ctl::parseCommandLine(args, "/d");
        Json::Value request;
        std::string error = parsed.error;
        if (parsed.kind == ctl::ParseOutcome::Kind::Run &&
            ctl::subcommandRequest(parsed.options, "u", request, error)) {
            EXPECT_EQ(ctl::requestLine(request), std::string(c.lineOrError) + "\n") << c.args;
        } else {
            EXPECT_NE(error.find(c.lineOrError), std::string::npos) << c.args << ": " << error;
        }
    }
}

}  // namespace
