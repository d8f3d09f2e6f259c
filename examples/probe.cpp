// SPDX-License-Identifier: Apache-2.0
// Probes one board: "probe ADDRESS" prints "alive" when the board acknowledges the liveness
// probe within five seconds, and why not otherwise (exit status 1; 64 for a bad address).
#include <quillferry/client.h>

#include <iostream>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: probe ADDRESS  (/dev/ttyUSB0, tcp:HOST:PORT, ssh:USER@HOST, ...)\n";
        return 64;
    }
    qfclient::LineAddress address;
    std::string error;
    if (!qfclient::parseAddress(argv[1], address, error)) {
        std::cerr << "probe: " << error << '\n';
        return 64;
    }
    qfclient::Line line(address);
    const qfclient::Result result = line.probe(5000);
    if (result.outcome != qfclient::Outcome::Ok) {
        std::cerr << "probe: " << qfclient::outcomeName(result.outcome) << ": " << result.detail
                  << '\n';
        return 1;
    }
    std::cout << "alive (" << result.elapsedMs << " ms)\n";
    return 0;
}
