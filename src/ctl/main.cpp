// quillferry-ctl: the controller's end of the serial line for operators, tests and demos.
// Sends one request, waits for its reply and prints it; the exit status tells scripts how
// it went (see --help).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ctl/options.h"
#include "ctl/session.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const ctl::ParseOutcome parsed = ctl::parseCommandLine(args, std::getenv(ctl::kDeviceEnv));
    switch (parsed.kind) {
        case ctl::ParseOutcome::Kind::Help:
        case ctl::ParseOutcome::Kind::Version: {
            const std::string text = parsed.kind == ctl::ParseOutcome::Kind::Help
                                         ? ctl::usageText()
                                         : ctl::versionText();
            const bool written = std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0;
            return written ? ctl::kExitOk : ctl::kExitNoReply;
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
