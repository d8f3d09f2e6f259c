#include "ctl/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "core/constants.h"
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
};

// A new subcommand is one row here plus its request builder (request.h).
// clang-format off
constexpr SubcommandInfo kSubcommands[] = {
    {"probe", nullptr, Subcommand::Probe, false},
    {"stat", nullptr, Subcommand::Stat, true},
    {"hw", nullptr, Subcommand::Hw, true},
    {"send", "JSON", Subcommand::Send, false},
    {"netconf", nullptr, Subcommand::NetConf, true},
    {"set-net", nullptr, Subcommand::SetNet, true},
    {"clear", nullptr, Subcommand::Clear, true},
};
// clang-format on

// Options that only one subcommand takes; they are collected in Options::settings and
// judged by that subcommand's request builder.
struct SettingInfo {
    const char* name;
    bool takesValue;
    const char* subcommand;
};

// clang-format off
constexpr SettingInfo kSettings[] = {
    {"--address", true, "set-net"},
    {"--gateway", true, "set-net"},
    {"--dns", true, "set-net"},
    {"--idc", true, "set-net"},
    {"--soc-ip", true, "set-net"},
    {"--pod-id", true, "set-net"},
    {"--container", true, "set-net"},
    {"--ipv6", false, "clear"},
};
// clang-format on

const SettingInfo* findSetting(const std::string& name) {
    for (const SettingInfo& info : kSettings) {
        if (name == info.name) return &info;
    }
    return nullptr;
}

const SubcommandInfo* findSubcommand(const std::string& name) {
    for (const SubcommandInfo& info : kSubcommands) {
        if (name == info.name) return &info;
    }
    return nullptr;
}

std::string uuidSubcommands() {
    std::string names;
    for (const SubcommandInfo& info : kSubcommands) {
        if (!info.buildsRequest) continue;
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
    std::vector<std::string> operands;
    bool optionsEnded = false;

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h" || arg == "--help" || arg == "--version") {
            ParseOutcome outcome;
            outcome.kind =
                arg == "--version" ? ParseOutcome::Kind::Version : ParseOutcome::Kind::Help;
            return outcome;
        }

        std::string name = arg;
        std::optional<std::string> attached;
        const auto eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            attached = arg.substr(eq + 1);
        }

        const SettingInfo* setting = findSetting(name);
        if (name == "--raw" || name == "--echo" || (setting != nullptr && !setting->takesValue)) {
            if (attached) return usageError("option '" + name + "' takes no value");
            if (setting != nullptr) {
                options.settings.emplace_back(name, "");
            } else {
                (name == "--raw" ? options.raw : options.echo) = true;
            }
            continue;
        }
        if (setting == nullptr && name != "--device" && name != "--timeout" && name != "--uuid") {
            return usageError("unknown option '" + arg + "'");
        }
        std::string value;
        if (attached) {
            value = *attached;
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            return usageError("option '" + name + "' needs a value");
        }
        if (setting != nullptr) {
            options.settings.emplace_back(name, value);
        } else if (name == "--device") {
            options.device = value;
        } else if (name == "--timeout") {
            int timeoutMs = 0;
            if (!parseTimeout(value, timeoutMs)) {
                return usageError("invalid timeout '" + value + "': expected seconds above 0");
            }
            options.timeoutMs = timeoutMs;
        } else {
            options.uuid = value;
        }
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
    for (const auto& setting : options.settings) {
        const char* owner = findSetting(setting.first)->subcommand;
        if (info->name != std::string(owner)) {
            return usageError("option '" + setting.first + "' applies only to " + owner);
        }
    }
    if (options.uuid && !info->buildsRequest) {
        return usageError("--uuid applies only to " + uuidSubcommands());
    }
    if (options.device.empty()) {
        return usageError(std::string("no device: give --device PATH or set ") + kDeviceEnv);
    }
    options.subcommand = info->subcommand;
    if (info->operand != nullptr) options.line = operands[1];

    ParseOutcome outcome;
    outcome.options = std::move(options);
    return outcome;
}

int replyTimeoutMs(const Options& options, const std::string& cmd) {
    return options.timeoutMs.value_or(cmd == qf::kCmdSetNetConf ? kApplyTimeoutMs
                                                                : kDefaultTimeoutMs);
}

std::string versionText() {
    return std::string(kProgramName) + " " + qf::kVersion + "\n";
}

std::string usageHint() {
    return std::string("Usage: ") + kProgramName +
           " [--device PATH] [--timeout SECONDS] [--uuid TEXT] [--raw] [--echo]"
           " probe|stat|hw|netconf|set-net|clear|send JSON (see --help)\n";
}

std::string usageText() {
    return std::string("Usage: ") + kProgramName + " [OPTIONS] SUBCOMMAND [ARGUMENT]\n" +
           R"(
Sends one request to a QuillFerry board over its serial line (raw 115200 8N1),
waits for its reply and prints it. The line is taken for this command alone: a
second client finds it busy (exit status 75) rather than taking this one's reply.
The reply is the line that carries the request's uuid (the board removes spaces
from it: "a b" comes back as "ab"), for probe the acknowledgement; anything else
that arrives first, such as a late reply to an earlier request, is discarded with
a note on standard error.

Subcommands:
  probe          send the liveness probe; prints "alive" on the exact acknowledgement
  stat           query the board's status ("get_stat")
  hw             query the board's hardware configuration ("get_hardware_conf")
  netconf        query the board's network configuration ("get_net_conf")
  set-net        give eth0 a static configuration ("set_net_conf"); needs --address,
                 --gateway, --dns, --idc, --soc-ip and --pod-id
  clear          take eth0's static configuration away ("set_net_conf" with "clear"):
                 eth0 goes down and the board deletes its host information and IP
                 configuration files; the containers' files stay
  send JSON      send JSON as one line, exactly as given (a newline is appended);
                 its reply carries the same "uuid" value, null when it has none. A
                 line that is not a JSON object has no uuid to match: the first line
                 that arrives is taken as its reply

Options (also accepted as --option=VALUE):
  --device PATH      serial device to use (default: $QUILLFERRY_DEVICE)
  --timeout SECONDS  how long the whole command may take, fractions allowed
                     (default: 60 for set-net, clear and a sent "set_net_conf",
                     whose ifdown and ifup take seconds; 5 otherwise)
  --uuid TEXT        uuid of the request (stat, hw, netconf, set-net, clear);
                     default: a fresh random UUID
  --raw              print the reply exactly as received, byte for byte, instead of
                     pretty-printed JSON; for probe, the received bytes escaped
  --echo             also print the line sent, after "> ", on standard error
  -h, --help         print this help and exit
  --version          print the version and exit

Options of set-net (the address family follows --address; the board checks every
value again):
  --address ADDR/PREFIX  eth0's IPv4 or IPv6 address and prefix length
                         (10.0.0.8/24, fd00::8/64)
  --gateway ADDR     default gateway, of the same family as the address
  --dns ADDR         name server; give it twice for a second one (at most two)
  --idc TEXT         data centre of the board
  --soc-ip TEXT      the SoC's address as the controller names it
  --pod-id N         pod number (an integer)
  --container MAC=ADDR
                     a container's MAC address and its address, of the address's
                     family; repeat in the containers' order. Without it the board
                     keeps its container list and files as they are

Options of clear:
  --ipv6             send the clear as an IPv6 request (under "ipv6", not "ipv4"), as
                     for a board that was configured with IPv6

Environment:
  QUILLFERRY_DEVICE  serial device used when --device is not given

Exit status:
  0   the reply was received (probe: the exact acknowledgement)
  1   the board answered, but with a non-zero "ret_val" or (send of a line that
      is not JSON) with a line that is not a JSON object
  2   no reply within the timeout, or reading or writing failed
  64  usage error
  69  the device cannot be opened or is not a serial device (or, rarely, the
      system has no random source for the uuid)
  75  line busy: another client is using the device; try again later
)";
}

}  // namespace ctl
