// SPDX-License-Identifier: Apache-2.0
// The exporter: its endpoints, served from one event loop that also runs the boards' lines
// (qfclient::Loop), its signals (SIGHUP reads the inventory again, SIGTERM and SIGINT stop
// it) and the answers of password checks.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "ctl/inventory.h"
#include "exporter/exporter_metrics.h"
#include "exporter/http_server.h"
#include "exporter/options.h"
#include "exporter/password_checks.h"
#include "exporter/probe_hub.h"
#include "exporter/web_config.h"
#include "quillferry/line.h"

namespace exporter {

using Inventory = std::vector<ctl::InventoryBoard>;

// The inventory at `path`, or none with the reasons logged.
std::shared_ptr<const Inventory> readInventory(const std::string& path);

// A listening socket on `address` (HOST:PORT); invalid with `error` when it cannot be had.
UniqueFd listenOn(const std::string& address, std::string& error);

// The address a listening socket is bound to, as ADDRESS:PORT ([ADDRESS]:PORT for IPv6).
std::string boundAddress(int fd);

// How long a probe may take for a scrape: the scrape's time limit (the header Prometheus
// sends) less the offset, but at least half of it; `fallbackMs` without a usable header.
long long probeBudgetMs(const std::optional<std::string>& header, int offsetMs, int fallbackMs);

class Exporter : private qfclient::Loop::Watcher, private ProbeEvents {
public:
    // Blocks SIGHUP, SIGTERM and SIGINT for the calling thread (and the threads it starts
    // afterwards) to read them from the loop. Throws std::runtime_error when the server, the
    // password checks or the signal descriptor cannot be made.
    Exporter(const Options& options, const WebConfig& web, std::shared_ptr<const Inventory> boards,
             UniqueFd listener);
    ~Exporter() override;

    // Serves until SIGTERM or SIGINT; the exit status.
    int run();

private:
    long long prepare(std::vector<pollfd>& fds) override;
    void ready(const std::vector<pollfd>& fds) override;
    void probed(Module module, const qfclient::Result& result, double seconds) override;

    void handle(Exchange& exchange);
    void route(Exchange& exchange);
    void probe(Exchange& exchange);
    // Answers a scrape with its probe's result, or without it (none).
    void answerProbe(Exchange& exchange, const ctl::InventoryBoard& board, Module module,
                     const std::optional<qfclient::Result>& result, long long start);
    void answer(Exchange& exchange, int status, const std::string& body,
                const char* type = "text/plain; charset=utf-8");
    void signals();
    void reload();
    void passwordResults();

    Options options_;
    std::shared_ptr<const Inventory> boards_;
    std::unordered_map<std::string, const ctl::InventoryBoard*> byName_;
    bool requireClientCert_ = false;
    ExporterCounters counters_;
    qfclient::Loop loop_;
    ProbeHub hub_;
    std::unique_ptr<PasswordChecks> passwords_;
    // Requests waiting for their password check, by ticket.
    std::unordered_map<std::uint64_t, Exchange*> checking_;
    UniqueFd signals_;
    std::unique_ptr<HttpServer> server_;
    bool stopping_ = false;
};

}  // namespace exporter
