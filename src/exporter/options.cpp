// SPDX-License-Identifier: Apache-2.0
#include "exporter/options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>

#include "core/getopt_args.h"
#include "core/version.h"
#include "quillferry/request.h"

namespace exporter {

namespace {

enum OptionId : int {
    kHelp = 'h',
    kVersion = 1000,
    kListen,
    kTelemetry,
    kWebConfig,
    kInventory,
    kTimeoutOffset,
    kMaxConnections,
};

// clang-format off
const struct option kOptions[] = {
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {"web.listen-address", required_argument, nullptr, kListen},
    {"web.telemetry-path", required_argument, nullptr, kTelemetry},
    {"web.config.file", required_argument, nullptr, kWebConfig},
    {"web.max-connections", required_argument, nullptr, kMaxConnections},
    {"inventory", required_argument, nullptr, kInventory},
    {"timeout-offset", required_argument, nullptr, kTimeoutOffset},
    {nullptr, 0, nullptr, 0},
};
// clang-format on

ParseOutcome usageError(std::string error) {
    ParseOutcome outcome;
    outcome.kind = ParseOutcome::Kind::UsageError;
    outcome.error = std::move(error);
    return outcome;
}

bool isPort(const std::string& text) {
    std::int64_t port = 0;
    return !text.empty() && std::all_of(text.begin(), text.end(), ::isdigit) &&
           qfclient::parseInteger(text, port) && port >= 0 && port <= 65535;
}

// A path the exporter answers on: absolute, plain characters only.
bool isPlainPath(const std::string& path) {
    return path.size() > 1 && path.size() <= 256 && path.front() == '/' &&
           std::all_of(path.begin(), path.end(), [](unsigned char c) {
               return std::isalnum(c) != 0 || c == '/' || c == '-' || c == '_' || c == '.';
           });
}

std::string applyOption(int id, const std::string& value, Options& options) {
    switch (id) {
        case kListen: {
            std::string host;
            std::string port;
            std::string error;
            if (!splitListenAddress(value, host, port, error)) return error;
            options.listenAddress = value;
            break;
        }
        case kTelemetry:
            if (!isPlainPath(value))
                return "invalid --web.telemetry-path '" + value +
                       "': expected an absolute path of letters, digits, '/', '-', '_', '.'";
            options.telemetryPath = value;
            break;
        case kWebConfig:
            options.webConfigFile = value;
            break;
        case kInventory:
            options.inventory = value;
            break;
        case kTimeoutOffset: {
            errno = 0;
            char* end = nullptr;
            const double seconds = std::strtod(value.c_str(), &end);
            if (value.empty() || errno != 0 || end != value.c_str() + value.size() ||
                !std::isfinite(seconds) || seconds < 0 || seconds > 60)
                return "invalid --timeout-offset '" + value + "': expected 0 to 60 seconds";
            options.timeoutOffsetMs = static_cast<int>(std::lround(seconds * 1000));
            break;
        }
        case kMaxConnections: {
            std::int64_t n = 0;
            if (!qfclient::parseInteger(value, n) || n < 1 || n > 65536)
                return "invalid --web.max-connections '" + value + "': expected 1 to 65536";
            options.maxConnections = static_cast<int>(n);
            break;
        }
        default:
            break;
    }
    return std::string();
}

}  // namespace

bool splitListenAddress(const std::string& text, std::string& host, std::string& port,
                        std::string& error) {
    error = "invalid --web.listen-address '" + text + "': expected HOST:PORT, [IPv6]:PORT or :PORT";
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (!host.empty() && host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') return false;
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string::npos) {
        return false;  // an IPv6 address without brackets
    }
    const bool plainHost = std::all_of(host.begin(), host.end(), [](unsigned char c) {
        return std::isalnum(c) != 0 || c == '.' || c == '-' || c == ':' || c == '%';
    });
    if (!plainHost || !isPort(port)) return false;
    error.clear();
    return true;
}

ParseOutcome parseCommandLine(const std::vector<std::string>& args) {
    Options options;
    GetoptArgs argv(kProgramName, args);
    for (;;) {
        const int id = getopt_long(argv.argc(), argv.argv(), ":h", kOptions, nullptr);
        if (id == -1) break;
        if (id == kHelp || id == kVersion) {
            ParseOutcome outcome;
            outcome.kind = id == kVersion ? ParseOutcome::Kind::Version : ParseOutcome::Kind::Help;
            return outcome;
        }
        const std::string arg = argv.last();
        if (id == ':') return usageError("option '" + arg + "' needs a value");
        if (id == '?') return usageError("unknown option '" + arg + "'");
        const std::string error = applyOption(id, optarg != nullptr ? optarg : "", options);
        if (!error.empty()) return usageError(error);
    }
    const std::vector<std::string> operands = argv.operands();
    if (!operands.empty()) return usageError("unexpected argument '" + operands.front() + "'");
    if (options.telemetryPath == "/probe" || options.telemetryPath == "/sd" ||
        options.telemetryPath.rfind("/-/", 0) == 0)
        return usageError("--web.telemetry-path '" + options.telemetryPath +
                          "' is taken by another endpoint");
    ParseOutcome outcome;
    outcome.options = std::move(options);
    return outcome;
}

std::string versionText() {
    return std::string(kProgramName) + " " + qf::kVersion + "\n";
}

std::string usageText() {
    return std::string("Usage: ") + kProgramName + " [OPTIONS]\n" + R"(
Serves the metrics of the QuillFerry boards of an inventory to Prometheus: each
scrape of /probe?target=NAME asks the board NAME at that moment over its serial
line (a local device or a console server's port, as quillferry-ctl does) and
answers its metrics within the scrape's own time limit. Scrapes of the same
board at the same moment share one probe. Only the inventory's boards are
targets: no scrape makes the exporter connect anywhere else.

Endpoints:
  /probe?target=NAME&module=probe|stat
                     the board's metrics: probe sends the liveness probe, stat
                     (the default) the status query; with quillferry_probe_success
                     and quillferry_probe_duration_seconds. An unknown target or
                     module is refused (400)
  /sd                every board of the inventory as a target for Prometheus'
                     http_sd_configs, with the labels idc and pod
  /metrics           the exporter's own metrics (--web.telemetry-path)
  /                  a page with links; /-/healthy and /-/ready

Options (also accepted as --option=VALUE):
  --inventory FILE   the boards (JSON, see quillferry-ctl(1)); default
                     /etc/quillferry/inventory.json. Read again on SIGHUP: a file
                     that cannot be read or has a bad entry is refused, the boards
                     read before stay, and the reason is logged and counted
  --web.listen-address ADDRESS
                     where to listen: HOST:PORT, [IPv6]:PORT or :PORT for every
                     address (default :9817)
  --web.telemetry-path PATH
                     the path of the exporter's own metrics (default /metrics)
  --web.config.file FILE
                     TLS and basic authentication, in the format of Prometheus'
                     exporter toolkit (tls_server_config, basic_auth_users with
                     bcrypt hashes); read at start. Without it anyone who reaches
                     the address may read every endpoint and trigger probes
  --web.max-connections N
                     HTTP connections at once (default 4096)
  --timeout-offset SECONDS
                     taken off the scrape's time limit (the header
                     X-Prometheus-Scrape-Timeout-Seconds) for the probe, so that
                     the answer arrives in time (default 0.5); without the header a
                     probe may take 5 seconds
  -h, --help         print this help and exit
  --version          print the version and exit

Signals: SIGHUP reads the inventory again; SIGTERM and SIGINT stop the exporter
(scrapes waiting for a probe are answered at once).

Exit status: 0 stopped by a signal, 64 usage error or a bad inventory or web
configuration at start, 69 the address cannot be listened on.
)";
}

}  // namespace exporter
