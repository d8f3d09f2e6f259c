// SPDX-License-Identifier: Apache-2.0
// quillferry-ctl: the controller's end of the serial line for operators, tests and demos.
// Sends one request, waits for its reply and prints it; the exit status tells scripts how
// it went (see --help).
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ctl/options.h"
#include "ctl/session.h"

int main(int argc, char** argv) {
    // A closed pipe on standard output is a write that fails (74), as a full disk is,
    // rather than the end of the program in the middle of a command; sockets are written
    // without the signal anyway.
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> args(argv + 1, argv + argc);
    const ctl::ParseOutcome parsed = ctl::parseCommandLine(args, std::getenv(ctl::kDeviceEnv));
    switch (parsed.kind) {
        case ctl::ParseOutcome::Kind::Help:
        case ctl::ParseOutcome::Kind::Version: {
            const std::string text = parsed.kind == ctl::ParseOutcome::Kind::Help
                                         ? ctl::usageText()
                                         : ctl::versionText();
            if (std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0)
                return ctl::kExitOk;
            std::fprintf(stderr, "%s: cannot write the output: %s\n", ctl::kProgramName,
                         std::strerror(errno));
            return ctl::kExitOutput;
        }
        case ctl::ParseOutcome::Kind::UsageError:
            std::fprintf(stderr, "%s: %s\n%s", ctl::kProgramName, parsed.error.c_str(),
                         ctl::usageHint().c_str());
            return ctl::kExitUsage;
        case ctl::ParseOutcome::Kind::Run:
            break;
    }
    return ctl::runCommand(parsed.options, stdout, stderr);
}
