// SPDX-License-Identifier: Apache-2.0
// Asks every board named on the command line for its status at once, in one event loop:
// "fleet_stat ADDRESS..." prints a line per board as it answers (or fails), with its cpu_temp
// (the hottest thermal zone, in millidegrees), and exits 0 only when every board answered.
#include <quillferry/client.h>

#include <cstddef>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: fleet_stat ADDRESS...\n";
        return 64;
    }
    qfclient::Loop loop;
    std::vector<std::unique_ptr<qfclient::Line>> lines;
    for (int i = 1; i < argc; ++i) {
        qfclient::LineAddress address;
        std::string error;
        if (!qfclient::parseAddress(argv[i], address, error)) {
            std::cerr << "fleet_stat: " << error << '\n';
            return 64;
        }
        lines.push_back(std::make_unique<qfclient::Line>(loop, address));
    }

    std::size_t finished = 0;
    int status = 0;
    for (const auto& line : lines) {
        // Each board has its own deadline; none waits for another.
        const qfclient::Call call =
            qfclient::requestCall(qfclient::statRequest(qfclient::newUuid()));
        const std::string name = line->address().text;
        line->start(call, 5000, [&finished, &status, name](const qfclient::Result& r) {
            ++finished;
            std::cout << qfclient::escapeBytes(name) << ": " << qfclient::outcomeName(r.outcome);
            if (r.outcome == qfclient::Outcome::Ok) {
                // A value of another type than the board sends is shown as it is, not read.
                const Json::Value& temp = qfclient::member(r.root, "cpu_temp");
                std::cout << ", cpu_temp " << qfclient::escapeBytes(qfclient::compactJson(temp));
            } else {
                std::cout << ": " << r.detail;
                status = 1;
            }
            std::cout << " (" << r.elapsedMs << " ms)\n";
        });
    }
    loop.runUntil([&finished, &lines] { return finished == lines.size(); });
    return status;
}
