// SPDX-License-Identifier: Apache-2.0
// Command line of quillferry-ctl: subcommands, options, the help text and exit statuses.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ctl/exit_status.h"
#include "quillferry/request.h"

namespace ctl {

inline constexpr const char* kProgramName = "quillferry-ctl";
inline constexpr const char* kDeviceEnv = "QUILLFERRY_DEVICE";
// Keeps the wait within poll()'s int milliseconds with room to spare.
inline constexpr double kMaxTimeoutSeconds = 86400;
// Boards served at once by default, well within the descriptors a process may hold.
inline constexpr int kDefaultJobs = 256;
inline constexpr int kMaxJobs = 4096;

enum class Subcommand { Probe, Stat, Hw, Send, NetConf, SetNet, Clear };
// PrometheusSd: the inventory's boards as service discovery targets; nothing is sent.
enum class Format { Table, Jsonl, Prometheus, PrometheusSd };

struct Options {
    Subcommand subcommand = Subcommand::Probe;
    std::string subcommandName;
    // The line address (--device or $QUILLFERRY_DEVICE) of a single board.
    std::string device;
    // Files that secure a single board's line (paths, never secrets): --identity and
    // --known-hosts for ssh:, --ca, --cert and --key for tls: and telnets:.
    std::string identity;
    std::string knownHosts;
    std::string ca;
    std::string cert;
    std::string key;
    // Given with --timeout; otherwise it follows the request (qfclient::defaultTimeoutMs).
    std::optional<int> timeoutMs;
    // Given with --uuid; otherwise requests get a fresh one.
    std::optional<std::string> uuid;
    bool raw = false;
    bool echo = false;
    // send: the line to send, without its newline.
    std::string line;
    // set-net of a single board.
    qfclient::NetSettings net;
    // clear: as an IPv6 request.
    bool ipv6 = false;
    // A fleet: every board of the inventory, or those named.
    std::string inventory;
    std::vector<std::string> boards;
    int jobs = kDefaultJobs;
    Format format = Format::Table;
    // set-net of a fleet: compare what each board runs with its entry and change nothing
    // (check), show each value that differs (diff), apply to every board (force).
    bool check = false;
    bool diff = false;
    bool force = false;
    // The output goes to this file, replaced whole once the command has run, instead of
    // standard output (for node_exporter's textfile collector).
    std::string output;
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

// How long to wait for the reply to `call`: --timeout when given, otherwise the call's own
// default.
int replyTimeoutMs(const Options& options, const qfclient::Call& call);

// The --version line.
std::string versionText();

// The full --help text.
std::string usageText();

// The one-line synopsis shown after a usage error.
std::string usageHint();

}  // namespace ctl
