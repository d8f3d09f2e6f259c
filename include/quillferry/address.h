// SPDX-License-Identifier: Apache-2.0
/// @file
/// Where a board's serial line is reached: a local serial device, or a console server's
/// port over TCP (raw or telnet with RFC 2217), over TLS (raw or telnet) or over SSH (the
/// session channel, the port chosen by the user name). Spelled as qemu's and socat's
/// character devices are: "/dev/ttyUSB0", "tcp:HOST:PORT", "telnet:HOST:PORT",
/// "tls:HOST:PORT", "telnets:HOST:PORT", "ssh:[USER@]HOST[:PORT]" (an IPv6 host in brackets:
/// "tcp:[fd00::1]:3001").
#pragma once

#include <string>

#include "quillferry/export.h"

namespace qfclient {

struct LineAddress {
    enum class Kind { Device, Tcp, Telnet, Ssh, Tls, Telnets };
    Kind kind = Kind::Device;
    std::string text;  ///< as given
    std::string path;  ///< Device
    std::string host;  ///< all but Device: a host name or an IP literal (without brackets)
    std::string port;  ///< all but Device: 1 to 65535 (Ssh: 22 unless given)
    std::string user;  ///< Ssh: everything before the last '@'; empty: the local user's name

    /// Files that secure a line, named by the operator (paths, never secrets); empty: the
    /// defaults. Ssh: a private key tried after the agent's keys and before the default
    /// ones in ~/.ssh, and the known hosts file used instead of ~/.ssh/known_hosts
    /// (/etc/ssh/ssh_known_hosts is read as well). Tls, Telnets: the certificates trusted
    /// instead of the system's, and a client certificate with its private key.
    std::string identity;
    std::string knownHosts;
    std::string ca;
    std::string cert;
    std::string key;
};

/// Whether the line's stream runs inside TLS (tls:, telnets:), and whether it speaks telnet
/// with RFC 2217 (telnet:, telnets:).
QUILLFERRY_CLIENT_API bool overTls(LineAddress::Kind kind);
QUILLFERRY_CLIENT_API bool speaksTelnet(LineAddress::Kind kind);

/// False, with `error`, for an address that names no kind. Anything that does not start
/// with "tcp:", "telnet:", "tls:", "telnets:" or "ssh:" is a device path ("./tcp:x" for a
/// file of that name). Host names are letters, digits, '-' and '.' only; an SSH user name
/// is printable ASCII without spaces, at most 256 bytes.
QUILLFERRY_CLIENT_API bool parseAddress(const std::string& text, LineAddress& address,
                                        std::string& error);

/// What is wrong with the files of `address` (identity, knownHosts, ca, cert, key), one line;
/// empty when nothing is: each must suit the address's kind (identity and known hosts an
/// ssh: line, the others a tls: or telnets: line), a certificate comes with its key, and
/// each names a regular file that can be read (never a FIFO or a device, which could hold
/// a line up), judged whole (a zero byte is refused).
QUILLFERRY_CLIENT_API std::string lineFilesProblem(const LineAddress& address);

}  // namespace qfclient
