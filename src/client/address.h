// SPDX-License-Identifier: Apache-2.0
// Where a board's serial line is reached: a local serial device, or a console server's
// port over TCP, raw or telnet with RFC 2217. Spelled as qemu's and socat's character
// devices are: "/dev/ttyUSB0", "tcp:HOST:PORT", "telnet:HOST:PORT" (an IPv6 host in
// brackets: "tcp:[fd00::1]:3001").
#pragma once

#include <string>

namespace qfclient {

struct LineAddress {
    enum class Kind { Device, Tcp, Telnet };
    Kind kind = Kind::Device;
    std::string text;  // as given
    std::string path;  // Device
    std::string host;  // Tcp, Telnet: a host name or an IP literal (without brackets)
    std::string port;  // Tcp, Telnet: 1 to 65535
};

// False, with `error`, for an address that names neither kind. Anything that does not
// start with "tcp:" or "telnet:" is a device path ("./tcp:x" for a file of that name).
// Host names are letters, digits, '-' and '.' only.
bool parseAddress(const std::string& text, LineAddress& address, std::string& error);

}  // namespace qfclient
