// SPDX-License-Identifier: Apache-2.0
// quillferry-exporter: the boards of an inventory as Prometheus scrape targets, each probed
// when Prometheus asks (the multi-target exporter pattern).
#include <pthread.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "core/log.h"
#include "exporter/exporter.h"

int main(int argc, char** argv) {
    using exporter::ParseOutcome;
    // A client gone mid-answer is an error of its connection, not the end of the exporter.
    std::signal(SIGPIPE, SIG_IGN);
    // The signals the loop reads, blocked before any thread (the log's) starts, so that none
    // of them ends a thread that does not read them.
    sigset_t set;
    sigemptyset(&set);
    for (const int s : {SIGHUP, SIGTERM, SIGINT}) sigaddset(&set, s);
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    const ParseOutcome parsed =
        exporter::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    switch (parsed.kind) {
        case ParseOutcome::Kind::Help:
        case ParseOutcome::Kind::Version: {
            const std::string text = parsed.kind == ParseOutcome::Kind::Help
                                         ? exporter::usageText()
                                         : exporter::versionText();
            return std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0 ? 0 : 74;
        }
        case ParseOutcome::Kind::UsageError:
            std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", exporter::kProgramName,
                         parsed.error.c_str(), exporter::kProgramName);
            return exporter::kExitUsage;
        case ParseOutcome::Kind::Run:
            break;
    }
    const exporter::Options& options = parsed.options;
    try {
        exporter::WebConfig web;
        std::string error;
        if (!options.webConfigFile.empty() &&
            !exporter::loadWebConfig(options.webConfigFile, web, error)) {
            logLine("web configuration refused: %s", error.c_str());
            return exporter::kExitUsage;
        }
        std::shared_ptr<const exporter::Inventory> boards =
            exporter::readInventory(options.inventory);
        if (!boards) return exporter::kExitUsage;
        // A line and a connection for every board at once: more than the default soft limit.
        rlimit files{};
        if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
            files.rlim_cur = files.rlim_max;
            ::setrlimit(RLIMIT_NOFILE, &files);
        }
        UniqueFd listener = exporter::listenOn(options.listenAddress, error);
        if (!listener.valid()) {
            logLine("%s", error.c_str());
            return exporter::kExitUnavailable;
        }
        const std::string where = exporter::boundAddress(listener.get());
        exporter::Exporter server(options, web, std::move(boards), std::move(listener));
        logLine("listening on %s (%s)", where.c_str(), web.tls ? "HTTPS" : "HTTP");
        return server.run();
    } catch (const std::exception& e) {
        logLine("%s", e.what());
        return exporter::kExitUnavailable;
    }
}
