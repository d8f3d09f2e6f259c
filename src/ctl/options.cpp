// SPDX-License-Identifier: Apache-2.0
#include "ctl/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/getopt_args.h"
#include "core/version.h"

namespace ctl {

namespace {

struct SubcommandInfo {
    const char* name;
    // Name of the single operand, or null when the subcommand takes none.
    const char* operand;
    Subcommand subcommand;
    // Builds its JSON request itself, so --uuid means something to it.
    bool buildsRequest;
    // Runs on the boards of an inventory.
    bool fleet;
};

// A new subcommand is one row here plus its request (session.cpp).
// clang-format off
constexpr SubcommandInfo kSubcommands[] = {
    {"probe", nullptr, Subcommand::Probe, false, true},
    {"stat", nullptr, Subcommand::Stat, true, true},
    {"hw", nullptr, Subcommand::Hw, true, true},
    {"send", "JSON", Subcommand::Send, false, false},
    {"netconf", nullptr, Subcommand::NetConf, true, true},
    {"set-net", nullptr, Subcommand::SetNet, true, true},
    {"clear", nullptr, Subcommand::Clear, true, true},
};
// clang-format on

enum OptionId : int {
    kHelp = 'h',
    kVersion = 1000,
    kDevice,
    kTimeout,
    kUuid,
    kRaw,
    kEcho,
    kInventory,
    kBoard,
    kJobs,
    kFormat,
    kOutput,
    // the files that secure a line
    kIdentity,
    kKnownHosts,
    kCa,
    kCert,
    kKey,
    // set-net
    kAddress,
    kGateway,
    kDns,
    kIdc,
    kSocIp,
    kPodId,
    kContainer,
    kVerifyGateway,
    // set-net of a fleet
    kCheck,
    kDiff,
    kForce,
    // clear
    kIpv6,
};

// clang-format off
const struct option kOptions[] = {
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {"device", required_argument, nullptr, kDevice},
    {"timeout", required_argument, nullptr, kTimeout},
    {"uuid", required_argument, nullptr, kUuid},
    {"raw", no_argument, nullptr, kRaw},
    {"echo", no_argument, nullptr, kEcho},
    {"inventory", required_argument, nullptr, kInventory},
    {"board", required_argument, nullptr, kBoard},
    {"jobs", required_argument, nullptr, kJobs},
    {"format", required_argument, nullptr, kFormat},
    {"output", required_argument, nullptr, kOutput},
    {"identity", required_argument, nullptr, kIdentity},
    {"known-hosts", required_argument, nullptr, kKnownHosts},
    {"ca", required_argument, nullptr, kCa},
    {"cert", required_argument, nullptr, kCert},
    {"key", required_argument, nullptr, kKey},
    {"address", required_argument, nullptr, kAddress},
    {"gateway", required_argument, nullptr, kGateway},
    {"dns", required_argument, nullptr, kDns},
    {"idc", required_argument, nullptr, kIdc},
    {"soc-ip", required_argument, nullptr, kSocIp},
    {"pod-id", required_argument, nullptr, kPodId},
    {"container", required_argument, nullptr, kContainer},
    {"verify-gateway", required_argument, nullptr, kVerifyGateway},
    {"check", no_argument, nullptr, kCheck},
    {"diff", no_argument, nullptr, kDiff},
    {"force", no_argument, nullptr, kForce},
    {"ipv6", no_argument, nullptr, kIpv6},
    {nullptr, 0, nullptr, 0},
};
// clang-format on

std::string optionName(int id) {
    for (const struct option& o : kOptions) {
        if (o.name != nullptr && o.val == id) return std::string("--") + o.name;
    }
    return "-" + std::string(1, static_cast<char>(id));
}

const SubcommandInfo* findSubcommand(const std::string& name) {
    for (const SubcommandInfo& info : kSubcommands) {
        if (name == info.name) return &info;
    }
    return nullptr;
}

std::string subcommandsWhere(bool SubcommandInfo::*flag) {
    std::string names;
    for (const SubcommandInfo& info : kSubcommands) {
        if (!(info.*flag)) continue;
        if (!names.empty()) names += ", ";
        names += info.name;
    }
    return names;
}

ParseOutcome usageError(std::string error) {
    ParseOutcome outcome;
    outcome.kind = ParseOutcome::Kind::UsageError;
    outcome.error = std::move(error);
    return outcome;
}

// Applies one option with its value to `options`; an error text when the value is unfit.
std::string applyOption(int id, const std::string& value, Options& options) {
    qfclient::NetSettings& net = options.net;
    switch (id) {
        case kDevice:
            options.device = value;
            break;
        case kTimeout: {
            int timeoutMs = 0;
            if (!parseTimeout(value, timeoutMs))
                return "invalid timeout '" + value + "': expected seconds above 0";
            options.timeoutMs = timeoutMs;
            break;
        }
        case kUuid:
            options.uuid = value;
            break;
        case kRaw:
            options.raw = true;
            break;
        case kEcho:
            options.echo = true;
            break;
        case kInventory:
            options.inventory = value;
            break;
        case kBoard:
            options.boards.push_back(value);
            break;
        case kJobs: {
            std::int64_t jobs = 0;
            if (!qfclient::parseInteger(value, jobs) || jobs < 1 || jobs > kMaxJobs)
                return "invalid --jobs '" + value + "': expected 1 to " + std::to_string(kMaxJobs);
            options.jobs = static_cast<int>(jobs);
            break;
        }
        case kFormat:
            if (value == "table") {
                options.format = Format::Table;
            } else if (value == "jsonl") {
                options.format = Format::Jsonl;
            } else if (value == "prometheus") {
                options.format = Format::Prometheus;
            } else if (value == "prometheus-sd") {
                options.format = Format::PrometheusSd;
            } else {
                return "invalid --format '" + value +
                       "': expected table, jsonl, prometheus or prometheus-sd";
            }
            break;
        case kOutput:
            options.output = value;
            break;
        case kIdentity:
            options.identity = value;
            break;
        case kKnownHosts:
            options.knownHosts = value;
            break;
        case kCa:
            options.ca = value;
            break;
        case kCert:
            options.cert = value;
            break;
        case kKey:
            options.key = value;
            break;
        case kAddress:
            net.address = value;
            break;
        case kGateway:
            net.gateway = value;
            break;
        case kDns:
            net.dns.push_back(value);
            break;
        case kIdc:
            net.idc = value;
            break;
        case kSocIp:
            net.socIp = value;
            break;
        case kPodId: {
            std::int64_t pod = 0;
            if (!qfclient::parseInteger(value, pod))
                return "--pod-id '" + value + "' is not an integer";
            net.podId = pod;
            break;
        }
        case kContainer: {
            const std::size_t eq = value.find('=');
            if (eq == std::string::npos) return "--container '" + value + "' is not MAC=ADDRESS";
            if (!net.containers) net.containers.emplace();
            net.containers->push_back({value.substr(0, eq), value.substr(eq + 1)});
            break;
        }
        case kVerifyGateway: {
            std::int64_t seconds = 0;
            if (!qfclient::parseInteger(value, seconds))
                return "--verify-gateway '" + value + "' is not a whole number of seconds";
            net.verifyGatewaySec = seconds;
            break;
        }
        case kCheck:
            options.check = true;
            break;
        case kDiff:
            options.diff = true;
            break;
        case kForce:
            options.force = true;
            break;
        case kIpv6:
            options.ipv6 = true;
            break;
        default:
            break;
    }
    return std::string();
}

}  // namespace

bool parseTimeout(const std::string& text, int& timeoutMs) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (errno != 0 || end != text.c_str() + text.size()) return false;
    if (!std::isfinite(seconds) || seconds <= 0 || seconds > kMaxTimeoutSeconds) return false;
    timeoutMs = static_cast<int>(std::ceil(seconds * 1000));
    return true;
}

ParseOutcome parseCommandLine(const std::vector<std::string>& args, const char* deviceEnv) {
    Options options;
    if (deviceEnv != nullptr) options.device = deviceEnv;

    GetoptArgs argv(kProgramName, args);
    std::vector<int> given;
    for (;;) {
        const int id = getopt_long(argv.argc(), argv.argv(), ":h", kOptions, nullptr);
        if (id == -1) break;
        if (id == kHelp || id == kVersion) {
            ParseOutcome outcome;
            outcome.kind = id == kVersion ? ParseOutcome::Kind::Version : ParseOutcome::Kind::Help;
            return outcome;
        }
        if (id == ':') return usageError("option '" + optionName(optopt) + "' needs a value");
        if (id == '?') {
            const std::string arg = argv.last();
            if (optopt != 0 && arg.find('=') != std::string::npos)
                return usageError("option '" + optionName(optopt) + "' takes no value");
            return usageError("unknown option '" + arg + "'");
        }
        const std::string error = applyOption(id, optarg != nullptr ? optarg : "", options);
        if (!error.empty()) return usageError(error);
        given.push_back(id);
    }
    // The operands, after getopt_long moved them behind the options.
    const std::vector<std::string> operands = argv.operands();

    const bool fleet = !options.inventory.empty();
    // The inventory's boards as scrape targets: no board is asked anything.
    if (options.format == Format::PrometheusSd) {
        if (!fleet) return usageError("option '--format' applies only with --inventory");
        if (!operands.empty())
            return usageError("--format prometheus-sd lists the boards and takes no subcommand");
        for (const int id : given) {
            if (id != kInventory && id != kBoard && id != kFormat && id != kOutput)
                return usageError("option '" + optionName(id) +
                                  "' does not apply to --format prometheus-sd");
        }
        ParseOutcome outcome;
        outcome.options = std::move(options);
        return outcome;
    }
    if (operands.empty()) return usageError("missing subcommand");
    const SubcommandInfo* info = findSubcommand(operands.front());
    if (info == nullptr) return usageError("unknown subcommand '" + operands.front() + "'");
    const std::size_t wanted = info->operand != nullptr ? 2 : 1;
    if (operands.size() < wanted) {
        return usageError(std::string("'") + info->name + "' needs an argument: " + info->operand);
    }
    if (operands.size() > wanted) {
        return usageError("unexpected argument '" + operands[wanted] + "'");
    }
    for (const int id : given) {
        const std::string name = optionName(id);
        if (id >= kAddress && id <= kContainer && info->subcommand != Subcommand::SetNet)
            return usageError("option '" + name + "' applies only to set-net");
        if (id >= kAddress && id <= kContainer && fleet)
            return usageError("option '" + name +
                              "' is for one board: with --inventory each board's own "
                              "configuration is applied");
        if (id >= kVerifyGateway && id <= kForce && info->subcommand != Subcommand::SetNet)
            return usageError("option '" + name + "' applies only to set-net");
        if (id >= kCheck && id <= kForce && !fleet)
            return usageError("option '" + name + "' applies only with --inventory");
        if (id == kIpv6 && info->subcommand != Subcommand::Clear)
            return usageError("option '--ipv6' applies only to clear");
        if ((id == kBoard || id == kJobs || id == kFormat || id == kOutput) && !fleet)
            return usageError("option '" + name + "' applies only with --inventory");
        if ((id == kRaw || id == kEcho || id == kDevice) && fleet)
            return usageError("option '" + name + "' is for one board, not with --inventory");
        if (id >= kIdentity && id <= kKey && fleet)
            return usageError("option '" + name +
                              "' is for one board: with --inventory each board names its own "
                              "files (identity, known_hosts, ca, cert, key)");
    }
    if (options.uuid && !info->buildsRequest) {
        return usageError("--uuid applies only to " +
                          subcommandsWhere(&SubcommandInfo::buildsRequest));
    }
    if (fleet && !info->fleet) {
        return usageError(std::string("'") + info->name + "' is for one board; with --inventory: " +
                          subcommandsWhere(&SubcommandInfo::fleet));
    }
    if (options.check && options.force) {
        return usageError("--check and --force exclude each other: --check changes nothing");
    }
    if (options.format == Format::Prometheus && info->subcommand != Subcommand::Probe &&
        info->subcommand != Subcommand::Stat) {
        return usageError("--format prometheus applies only to probe and stat");
    }
    if (!fleet && options.device.empty()) {
        return usageError(std::string("no line: give --device ADDRESS, set ") + kDeviceEnv +
                          " or give --inventory FILE");
    }
    options.subcommand = info->subcommand;
    options.subcommandName = info->name;
    if (info->operand != nullptr) options.line = operands[1];

    ParseOutcome outcome;
    outcome.options = std::move(options);
    return outcome;
}

int replyTimeoutMs(const Options& options, const qfclient::Call& call) {
    return options.timeoutMs.value_or(qfclient::defaultTimeoutMs(call));
}

std::string versionText() {
    return std::string(kProgramName) + " " + qf::kVersion + "\n";
}

std::string usageHint() {
    return std::string("Usage: ") + kProgramName +
           " [--device ADDRESS] [--timeout SECONDS] [--uuid TEXT] [--raw] [--echo]"
           " [--identity FILE] [--known-hosts FILE] [--ca FILE] [--cert FILE --key FILE]"
           " probe|stat|hw|netconf|set-net|clear|send JSON\n       " +
           kProgramName +
           " --inventory FILE [--board NAME]... [--jobs N] [--format table|jsonl|prometheus]"
           " [--output FILE] [--check|--force] [--diff] [--verify-gateway SECONDS]"
           " probe|stat|hw|netconf|set-net|clear\n       " +
           kProgramName +
           " --inventory FILE [--board NAME]... --format prometheus-sd [--output FILE]"
           " (see --help)\n";
}

std::string usageText() {
    return std::string("Usage: ") + kProgramName + " [OPTIONS] SUBCOMMAND [ARGUMENT]\n       " +
           kProgramName + " --inventory FILE [OPTIONS] SUBCOMMAND\n       " + kProgramName +
           " --inventory FILE [--board NAME]... --format prometheus-sd [--output FILE]\n" +
           R"(
Sends one request to a QuillFerry board over its serial line (raw 115200 8N1),
waits for its reply and prints it; with --inventory, to many boards at once.
The line is a local serial device or a console server's port (ADDRESS below)
and is taken for this command alone: a second client finds it busy (exit
status 75) rather than taking this one's reply. The reply is the line that
carries the request's uuid (the board removes spaces from it: "a b" comes back
as "ab"), for probe the acknowledgement; anything else that arrives first, such
as a late reply to an earlier request, is discarded with a note on standard
error.

Subcommands:
  probe          send the liveness probe; prints "alive" on the exact acknowledgement
  stat           query the board's status ("get_stat")
  hw             query the board's hardware configuration ("get_hardware_conf")
  netconf        query the board's network configuration and what it runs
                 ("get_net_conf" with "in_force"); a board of an earlier version does
                 not report what it runs, which is noted on standard error
  set-net        give eth0 a static configuration ("set_net_conf"); needs --address,
                 --gateway, --dns, --idc, --soc-ip and --pod-id
  clear          take eth0's static configuration away ("set_net_conf" with "clear"):
                 eth0 goes down and the board deletes its host information and IP
                 configuration files; the containers' files stay
  send JSON      send JSON as one line, exactly as given (a newline is appended);
                 its reply carries the same "uuid" value, null when it has none. A
                 line that is not a JSON object has no uuid to match: the first line
                 that arrives is taken as its reply (one board only). A line nested
                 deeper than 64 levels or with more than 256 values is refused: the
                 board drops it unread

Line addresses (ADDRESS), and what protects them:
  /dev/ttyUSB0       a local serial device (anything not starting with tcp:,
                     telnet:, tls:, telnets: or ssh:; ./tcp:x for a file of that
                     name). Locked for the command (flock); another client's lock
                     is "line busy"
  tcp:HOST:PORT      a console server's raw TCP port (ser2net's tcp accepter):
                     neither encrypted nor authenticated; only on an isolated
                     management network or inside a tunnel
  telnet:HOST:PORT   a console server's telnet port with RFC 2217: the port is set
                     to 115200 8N1 and must confirm it; binary both ways. Neither
                     encrypted nor authenticated, as tcp:
  tls:HOST:PORT      the raw stream inside TLS (ser2net's ssl accepter): encrypted
                     (TLS 1.2 or later), the server's certificate verified against
                     the system's CA store (or --ca) and for HOST; a client
                     certificate (--cert, --key) where the port asks for one
  telnets:HOST:PORT  telnet with RFC 2217 inside TLS: as telnet:, protected as tls:
  ssh:[USER@]HOST[:PORT]
                     an SSH console server's port (22 unless given), chosen by the
                     user name (ssh:admin:port05@console1; USER is everything
                     before the last @): encrypted, the host key checked against
                     ~/.ssh/known_hosts (or --known-hosts) and
                     /etc/ssh/ssh_known_hosts, keys from ssh-agent, --identity and
                     ~/.ssh/id_*; never a password or a prompt. No terminal: the
                     stream is binary clean both ways
                     HOST is a name or address, an IPv6 address in brackets
                     (tcp:[fd00::1]:3001); a name's addresses are each tried in
                     turn. A console server that says the port is in use ("Port
                     already in use") is "line busy". An unknown or changed host
                     key, a certificate that does not verify, a refused key:
                     "unavailable" with the reason, and nothing is sent

Options (also accepted as --option=VALUE):
  --device ADDRESS   the board's line (default: $QUILLFERRY_DEVICE)
  --timeout SECONDS  how long each call may take on each board, fractions allowed
                     (default: 60 for set-net, clear and a sent "set_net_conf", whose
                     ifdown and ifup take seconds; 120 plus its SECONDS for a verified
                     one, which may run them four times; 5 otherwise)
  --uuid TEXT        uuid of the request (stat, hw, netconf, set-net, clear);
                     default: a fresh random UUID
  --raw              print the reply exactly as received, byte for byte, instead of
                     pretty-printed JSON; for probe, the received bytes escaped
  --echo             also print the line sent, after "> ", on standard error
  --identity FILE    an ssh: line's private key (after the agent's, before ~/.ssh's)
  --known-hosts FILE an ssh: line's known hosts, instead of ~/.ssh/known_hosts
  --ca FILE          a tls: or telnets: line's trusted CAs, instead of the system's
  --cert FILE, --key FILE
                     a tls: or telnets: line's client certificate and its key (no
                     passphrase). These files are paths, never secrets; each must
                     be a regular file that can be read. For one board: an
                     inventory names each board's own (identity, known_hosts, ca,
                     cert, key)
  -h, --help         print this help and exit
  --version          print the version and exit

Options of set-net (the address family follows --address; every value is judged
with the board's own checks before anything is sent, and a refused one is named):
  --address ADDR/PREFIX  eth0's IPv4 or IPv6 address and prefix length
                         (10.0.0.8/24, fd00::8/64)
  --gateway ADDR     default gateway, of the same family as the address
  --dns ADDR         name server; give it twice for a second one (at most two)
  --idc TEXT         data centre of the board (no ',' or '=')
  --soc-ip ADDR      the SoC's IP address as the controller names it
  --pod-id N         pod number (an integer of 32 bits)
  --container MAC=ADDR
                     a container's MAC address (six hex pairs joined by ':') and its
                     address, of the address's family; repeat in the containers'
                     order. Without it the board keeps its container list and files
  --verify-gateway SECONDS
                     the gateway must answer within SECONDS (1 to 120; 2 or more for
                     IPv6) once the configuration is up, else the board puts the one
                     before back (ret_val -5; -6 when even that fails). The reply's
                     "gateway_check" is explained on standard error, and a board of an
                     earlier version, which applies without a check, is named as such.
                     With --inventory: for boards whose "network" has no
                     "verify_gateway" of its own

Options of clear:
  --ipv6             send the clear as an IPv6 request (under "ipv6", not "ipv4"), as
                     for a board that was configured with IPv6

A fleet (--inventory):
  --inventory FILE   run the subcommand on the boards of FILE (JSON, see the manual
                     page): every board at once in one event loop, each with its own
                     deadline; set-net applies each board's own "network", clear
                     sends IPv6 for boards whose "network" is IPv6. An inventory with
                     a bad entry is refused whole (name and line reported, the first
                     ten): nothing is sent to any board. At most 16 MiB, 8 levels
                     and 100,000 values
  --board NAME       only this board (repeatable)
  --jobs N           at most N boards at a time (default 256)
  --format table     one row per board: name, result, time, essential reply values
                     (the default); a progress line on standard error on a terminal
  --format jsonl     one JSON object per board as it finishes: name, address,
                     outcome, exit_status, elapsed_seconds, detail, reply; set-net
                     adds changed (true, false, or null: not known), differences
                     ([{value, board, inventory}], null when the board cannot tell),
                     in_force (what the board ran, in the inventory's members; null:
                     nothing, "unknown"; absent when it cannot tell) and network (the
                     entry as the board runs it)
  --format prometheus
                     probe and stat: metrics in the Prometheus text format
  --format prometheus-sd
                     without a subcommand: the boards as Prometheus scrape targets
                     for file_sd_configs (JSON: each board's name, with the labels
                     idc and pod of its network); nothing is sent to any board
  --output FILE      write the output to FILE instead, replacing it whole (a new
                     file renamed over it) once every board has finished; a
                     command that fails before it has results, or whose output
                     cannot be replaced, removes FILE (a regular file or a link)
  A summary line on standard error counts each result.

set-net with --inventory asks each board what it runs ("get_net_conf" with
"in_force") and compares it, value by value, with its entry as the board would
run it; only boards that differ (or run nothing, or an unknown configuration)
get the apply, and each is reported changed or unchanged. A board of an earlier
version cannot tell: it gets the apply, and whether it changed is not known.
  --check            send nothing that changes a board: report which would change
                     (exit status 3 when some board would)
  --diff             in the table, each value that differs, board's -> inventory's
  --force            apply to every board without asking first

Environment:
  QUILLFERRY_DEVICE  line address used when --device is not given
  SSH_AUTH_SOCK      the ssh-agent whose keys ssh: lines offer first

Exit status:
  0   the reply was received (probe: the exact acknowledgement); fleet: from every
      board
  1   the board answered, but with a non-zero "ret_val" or a malformed reply (send
      of a line that is not JSON: a line that is not a JSON object); fleet: some
      board did, and every board answered
  2   no reply within the timeout, or the line went away (hung up, connection
      closed); fleet: some board did not answer
  64  usage error, or a bad inventory (a line's files included)
  69  the line cannot be opened: no such device, not a serial device, a name not
      resolved, no connection to the console server, 115200 8N1 not confirmed, a
      certificate or host key that does not verify, a refused key (or, rarely, the
      system has no random source for the uuid); fleet: every board
  74  the output could not be written (standard output closed, a closed pipe or a
      full disk; --output not replaced, and removed), whatever the boards answered:
      the command ran, the summary on standard error tells how
  75  line busy: another client is using it; try again later; fleet: every board
  3   set-net --check: some board does not run its inventory entry (whatever the
      others answered); without drift, a board that cannot tell what it runs counts
      as a failure (1), and the rest is as above
)";
}

}  // namespace ctl
