// Command line of quillferry-ctl: subcommands, options, the help text and exit statuses.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ctl {

// Exit statuses; the help text documents them, scripts rely on them.
enum ExitStatus : int {
    kExitOk = 0,
    // The board answered, but with a failure (non-zero ret_val), with a line that is not a
    // JSON object, or with something other than the probe's acknowledgement.
    kExitFailed = 1,
    // No complete reply within the timeout, or reading or writing failed.
    kExitNoReply = 2,
    kExitUsage = 64,
    // Another client holds the line; trying again later may work (EX_TEMPFAIL).
    kExitBusy = 75,
    // The device cannot be opened or configured; not a usage error, and worth telling
    // apart from a board that does not answer.
    kExitUnavailable = 69,
};

inline constexpr const char* kProgramName = "quillferry-ctl";
inline constexpr const char* kDeviceEnv = "QUILLFERRY_DEVICE";
inline constexpr int kDefaultTimeoutMs = 5000;
// For "set_net_conf": the board runs ifdown and ifup, and IPv6 duplicate address detection
// alone takes seconds.
inline constexpr int kApplyTimeoutMs = 60000;
// Keeps the wait within poll()'s int milliseconds with room to spare.
inline constexpr double kMaxTimeoutSeconds = 86400;

enum class Subcommand { Probe, Stat, Hw, Send, NetConf, SetNet, Clear };

// Options of one subcommand (set-net, clear) as given, in order: {"--dns", "8.8.8.8"};
// an option without a value has an empty one.
using Settings = std::vector<std::pair<std::string, std::string>>;

struct Options {
    Subcommand subcommand = Subcommand::Probe;
    std::string device;
    // Given with --timeout; otherwise it follows the request (replyTimeoutMs).
    std::optional<int> timeoutMs;
    // Given with --uuid; otherwise requests get a fresh one.
    std::optional<std::string> uuid;
    bool raw = false;
    bool echo = false;
    // send: the line to send, without its newline.
    std::string line;
    Settings settings;
};

struct ParseOutcome {
    enum class Kind { Run, Help, Version, UsageError };
    Kind kind = Kind::Run;
    Options options;
    // UsageError: one line, no newline.
    std::string error;
};

// Parses argv[1..]; `deviceEnv` is the value of QUILLFERRY_DEVICE (null when unset), used
// when --device is not given.
ParseOutcome parseCommandLine(const std::vector<std::string>& args, const char* deviceEnv);

// Seconds (fractions allowed, > 0) to whole milliseconds, rounded up so that a tiny
// timeout still waits. False for anything else.
bool parseTimeout(const std::string& text, int& timeoutMs);

// How long to wait for the reply to a request with this "cmd": --timeout when given,
// otherwise kApplyTimeoutMs for "set_net_conf" and kDefaultTimeoutMs for anything else.
int replyTimeoutMs(const Options& options, const std::string& cmd);

// The --version line.
std::string versionText();

// The full --help text.
std::string usageText();

// The one-line synopsis shown after a usage error.
std::string usageHint();

}  // namespace ctl
