// SPDX-License-Identifier: Apache-2.0
#include "exporter/exporter.h"

#include <netdb.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <exception>
#include <stdexcept>

#include "core/fd_io.h"
#include "core/log.h"
#include "core/version.h"
#include "ctl/board_metrics.h"
#include "ctl/service_discovery.h"
#include "quillferry/reply.h"

namespace exporter {

namespace {

constexpr const char* kMetricsType = "text/plain; version=0.0.4; charset=utf-8";
// A probe takes at most this long, whatever a scrape asks.
constexpr long long kMaxProbeMs = 120000;
// Text of a request shown in an answer or the log, at most.
constexpr std::size_t kMaxShownBytes = 64;

std::string shown(const std::string& text) {
    const std::string escaped = qfclient::escapeBytes(text.substr(0, kMaxShownBytes));
    return escaped + (text.size() > kMaxShownBytes ? "..." : "");
}

double epochSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string htmlEscaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace

std::shared_ptr<const Inventory> readInventory(const std::string& path) {
    auto boards = std::make_shared<Inventory>();
    ctl::Complaints complaints;
    if (ctl::loadInventory(path, *boards, complaints)) return boards;
    for (const std::string& line : complaints.lines())
        logLine("inventory %s: %s", qfclient::escapeBytes(path).c_str(), line.c_str());
    return nullptr;
}

UniqueFd listenOn(const std::string& address, std::string& error) {
    std::string host;
    std::string port;
    if (!splitListenAddress(address, host, port, error)) return UniqueFd();
    addrinfo hints{};
    hints.ai_family = host.empty() ? AF_INET6 : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const int rc =
        ::getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) {
        error = "cannot resolve " + address + ": " + ::gai_strerror(rc);
        return UniqueFd();
    }
    const std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, ::freeaddrinfo);
    UniqueFd fd(::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                         found->ai_protocol));
    const int on = 1;
    const int off = 0;
    if (!fd.valid() || ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        // Every address: IPv4 as well, through the IPv6 socket.
        (host.empty() &&
         ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off)) != 0) ||
        ::bind(fd.get(), found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd.get(), 4096) != 0) {
        error = "cannot listen on " + address + ": " + std::strerror(errno);
        return UniqueFd();
    }
    return fd;
}

std::string boundAddress(int fd) {
    sockaddr_storage addr{};
    socklen_t len = sizeof(addr);
    char host[NI_MAXHOST];
    char port[NI_MAXSERV];
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        ::getnameinfo(reinterpret_cast<sockaddr*>(&addr), len, host, sizeof(host), port,
                      sizeof(port), NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "?";
    const bool v6 = addr.ss_family == AF_INET6;
    return (v6 ? "[" : "") + std::string(host) + (v6 ? "]:" : ":") + port;
}

long long probeBudgetMs(const std::optional<std::string>& header, int offsetMs, int fallbackMs) {
    if (!header) return fallbackMs;
    errno = 0;
    char* end = nullptr;
    const double seconds = std::strtod(header->c_str(), &end);
    if (header->empty() || errno != 0 || end != header->c_str() + header->size() ||
        !std::isfinite(seconds) || seconds <= 0)
        return fallbackMs;
    const double limitMs = std::min(seconds * 1000, static_cast<double>(kMaxProbeMs));
    return std::llround(std::max(limitMs - offsetMs, limitMs / 2));
}

Exporter::Exporter(const Options& options, const WebConfig& web,
                   std::shared_ptr<const Inventory> boards, UniqueFd listener)
    : options_(options), hub_(loop_, *this) {
    readProcessFigures();  // the process's start, as its own metrics give it
    sigset_t set;
    sigemptyset(&set);
    for (const int s : {SIGHUP, SIGTERM, SIGINT}) sigaddset(&set, s);
    if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0)
        throw std::runtime_error("cannot block the signals");
    signals_.reset(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!signals_.valid())
        throw std::runtime_error(std::string("cannot read signals: ") + std::strerror(errno));
    if (!web.users.empty()) passwords_ = std::make_unique<PasswordChecks>(web.users);
    requireClientCert_ = web.tls && web.tls->requireClientCert;
    boards_ = std::move(boards);
    for (const ctl::InventoryBoard& b : *boards_) byName_[b.name] = &b;
    counters_.boards = boards_->size();
    counters_.lastReloadSuccessSeconds = epochSeconds();
    HttpServer::Settings settings;
    settings.maxConnections = options.maxConnections;
    settings.tls = web.tls;
    server_ = std::make_unique<HttpServer>(
        std::move(listener), settings, [this](Exchange& e) { handle(e); },
        [this](int status) { ++counters_.responses[status]; });
    loop_.watch(this);
}

Exporter::~Exporter() {
    loop_.watch(nullptr);
}

int Exporter::run() {
    logLine("serving %zu boards of %s", boards_->size(),
            qfclient::escapeBytes(options_.inventory).c_str());
    while (!stopping_) loop_.serve();
    // What waits is answered now; the answers go out while the server takes no more.
    server_->quiesce();
    hub_.abandon();
    for (const auto& [ticket, exchange] : checking_) answer(*exchange, 503, "Stopping\n");
    checking_.clear();
    const long long until = monotonicMs() + 500;
    while (monotonicMs() < until && server_->connections() > 0) loop_.serve();
    logLine("stopped");
    return 0;
}

long long Exporter::prepare(std::vector<pollfd>& fds) {
    fds.push_back({server_->fd(), POLLIN, 0});
    fds.push_back({signals_.get(), POLLIN, 0});
    if (passwords_) fds.push_back({passwords_->fd(), POLLIN, 0});
    long long deadline = hub_.nearestDeadline();
    const long long server = server_->timeoutMs();
    if (server >= 0) {
        const long long at = monotonicMs() + server;
        deadline = deadline < 0 ? at : std::min(deadline, at);
    }
    if (stopping_) deadline = monotonicMs() + 50;  // the last answers go out
    return deadline;
}

void Exporter::ready(const std::vector<pollfd>& fds) {
    if ((fds[1].revents & POLLIN) != 0) signals();
    if (passwords_ && (fds[2].revents & POLLIN) != 0) passwordResults();
    hub_.expire(monotonicMs());
    server_->run();
    counters_.probesUnderWay = hub_.probing();
    counters_.scrapesWaiting = hub_.waiting();
}

void Exporter::probed(Module module, const qfclient::Result& result, double seconds) {
    counters_.probed(module, result, seconds);
}

void Exporter::signals() {
    signalfd_siginfo info{};
    while (::read(signals_.get(), &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
        if (info.ssi_signo == SIGHUP) {
            reload();
        } else {
            logLine("stopping on signal %u", info.ssi_signo);
            stopping_ = true;
        }
    }
}

void Exporter::reload() {
    std::shared_ptr<const Inventory> boards = readInventory(options_.inventory);
    if (!boards) {
        ++counters_.reloadsFailed;
        counters_.lastReloadOk = false;
        logLine("inventory %s refused: keeping the %zu boards read before",
                qfclient::escapeBytes(options_.inventory).c_str(), boards_->size());
        return;
    }
    ++counters_.reloadsOk;
    counters_.lastReloadOk = true;
    counters_.lastReloadSuccessSeconds = epochSeconds();
    // Probes under way keep the boards they started with (the hub holds their addresses).
    boards_ = std::move(boards);
    byName_.clear();
    for (const ctl::InventoryBoard& b : *boards_) byName_[b.name] = &b;
    counters_.boards = boards_->size();
    logLine("inventory %s read again: %zu boards",
            qfclient::escapeBytes(options_.inventory).c_str(), boards_->size());
}

void Exporter::answer(Exchange& exchange, int status, const std::string& body, const char* type) {
    exchange.answer(status, body, type);
}

void Exporter::handle(Exchange& exchange) {
    if (stopping_) return answer(exchange, 503, "Stopping\n");
    if (requireClientCert_ && !exchange.verifiedClientCertificate())
        return answer(exchange, 403,
                      "A client certificate signed by the configured CA is required\n");
    if (!passwords_) return route(exchange);
    std::string user;
    std::string password;
    if (!exchange.credentials(user, password)) return exchange.challenge();
    switch (passwords_->check(user, password, exchange.id())) {
        case PasswordChecks::Verdict::Allowed:
            return route(exchange);
        case PasswordChecks::Verdict::Denied:
            return exchange.challenge();
        case PasswordChecks::Verdict::Busy:
            return answer(exchange, 503, "Too many password checks at once; try again\n");
        case PasswordChecks::Verdict::Pending:
            checking_[exchange.id()] = &exchange;
            return;
    }
}

void Exporter::passwordResults() {
    for (const auto& [ticket, passed] : passwords_->results()) {
        const auto found = checking_.find(ticket);
        if (found == checking_.end()) continue;
        Exchange& exchange = *found->second;
        checking_.erase(found);
        if (passed) {
            route(exchange);
        } else {
            exchange.challenge();
        }
    }
}

void Exporter::route(Exchange& exchange) {
    if (exchange.method() != "GET" && exchange.method() != "HEAD")
        return answer(exchange, 405, "Only GET and HEAD\n");
    const std::string& path = exchange.path();
    if (path == "/probe") return probe(exchange);
    if (path == options_.telemetryPath) {
        return answer(exchange, 200,
                      exporterMetricsText(counters_, readProcessFigures(), qf::kVersion),
                      kMetricsType);
    }
    if (path == "/sd") {
        std::vector<const ctl::InventoryBoard*> all;
        for (const ctl::InventoryBoard& b : *boards_) all.push_back(&b);
        return answer(exchange, 200, ctl::serviceDiscoveryJson(all), "application/json");
    }
    if (path == "/-/healthy") return answer(exchange, 200, "QuillFerry exporter is healthy.\n");
    if (path == "/-/ready") return answer(exchange, 200, "QuillFerry exporter is ready.\n");
    if (path == "/") {
        const std::string example = boards_->empty() ? "" : boards_->front().name;
        const std::string metrics = htmlEscaped(options_.telemetryPath);
        return answer(
            exchange, 200,
            "<!DOCTYPE html>\n<html><head><title>QuillFerry exporter</title></head><body>\n"
            "<h1>QuillFerry exporter</h1>\n<p>" +
                std::to_string(boards_->size()) +
                " boards in the inventory.</p>\n<ul>\n"
                "<li><a href=\"/probe?target=" +
                htmlEscaped(example) + "&amp;module=stat\">/probe?target=" + htmlEscaped(example) +
                "&amp;module=stat</a>: a board's metrics</li>\n"
                "<li><a href=\"/sd\">/sd</a>: the boards as targets (http_sd_configs)</li>\n"
                "<li><a href=\"" +
                metrics + "\">" + metrics +
                "</a>: the exporter's own metrics</li>\n"
                "<li><a href=\"/-/healthy\">/-/healthy</a>, <a "
                "href=\"/-/ready\">/-/ready</a></li>\n"
                "</ul>\n</body></html>\n",
            "text/html; charset=utf-8");
    }
    answer(exchange, 404, "Not found: " + shown(path) + "\n");
}

void Exporter::probe(Exchange& exchange) {
    bool repeated = false;
    const std::optional<std::string> target = exchange.argument("target", repeated);
    if (!target || repeated)
        return answer(exchange, 400,
                      repeated ? "The target parameter is given more than once\n"
                               : "The target parameter is missing\n");
    const std::optional<std::string> moduleText = exchange.argument("module", repeated);
    if (repeated) return answer(exchange, 400, "The module parameter is given more than once\n");
    Module module = Module::Stat;
    if (moduleText && *moduleText == "probe") {
        module = Module::Probe;
    } else if (moduleText && *moduleText != "stat") {
        return answer(exchange, 400,
                      "Unknown module \"" + shown(*moduleText) + "\": probe or stat\n");
    }
    const auto found = byName_.find(*target);
    if (found == byName_.end())
        return answer(exchange, 400,
                      "Unknown target \"" + shown(*target) + "\": not in the inventory\n");
    const long long start = monotonicMs();
    const long long budget = probeBudgetMs(exchange.header("X-Prometheus-Scrape-Timeout-Seconds"),
                                           options_.timeoutOffsetMs, options_.defaultTimeoutMs);
    // The board as it is now; a reload meanwhile does not take it away from this scrape.
    const std::shared_ptr<const Inventory> boards = boards_;
    const ctl::InventoryBoard* board = found->second;
    Exchange* e = &exchange;
    const bool joined = hub_.join(
        *board, module, start + budget,
        [this, e, boards, board, module, start](const std::optional<qfclient::Result>& r) {
            // Whatever the board sent, it spoils no more than this scrape.
            try {
                answerProbe(*e, *board, module, r, start);
            } catch (const std::exception& ex) {
                logLine("probe of %s: %s", board->name.c_str(), visible(ex.what()).c_str());
                answer(*e, 500, "Internal error\n");
            }
        });
    if (joined) ++counters_.scrapesJoined;
}

void Exporter::answerProbe(Exchange& exchange, const ctl::InventoryBoard& board, Module module,
                           const std::optional<qfclient::Result>& r, long long start) {
    std::optional<ctl::BoardMetrics> metrics;
    if (r) {
        metrics.emplace();
        metrics->outcome = r->outcome;
        metrics->elapsedMs = r->elapsedMs;
        if (module == Module::Stat && r->outcome == qfclient::Outcome::Ok)
            metrics->stat = ctl::readStat(r->root);
    } else if (!stopping_) {
        ++counters_.scrapesGaveUp;
    }
    const double seconds = static_cast<double>(monotonicMs() - start) / 1000.0;
    answer(exchange, 200, ctl::probeMetricsText(board, metrics, module == Module::Stat, seconds),
           kMetricsType);
}

}  // namespace exporter
