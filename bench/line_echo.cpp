// SPDX-License-Identifier: Apache-2.0
// Sends every line read from the board's serial device straight back, through the daemon's
// own serial port class (same raw mode, same line framing, same writes): the baseline
// that the benchmark compares request round trips with. Ends on the line "quit".
#include <cstring>

#include "core/constants.h"
#include "core/uart.h"

int main() {
    Uart uart(qf::kSerialDevice);
    if (!uart.IsOpen()) return 1;
    char buf[qf::kReadBufferSize];
    for (;;) {
        if (uart.Read(buf, static_cast<int>(sizeof(buf))) <= 0) return 1;
        if (std::strcmp(buf, "quit\n") == 0) return 0;
        const int len = static_cast<int>(std::strlen(buf));
        if (uart.Write(buf, len) != len) return 1;
    }
}
