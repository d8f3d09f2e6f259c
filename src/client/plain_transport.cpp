// SPDX-License-Identifier: Apache-2.0
#include "client/plain_transport.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qfclient {

Transport::Step PlainTransport::read(char* buf, std::size_t size, std::size_t& got,
                                     LineFault& fault) {
    got = 0;
    const ssize_t n = ::read(fd_.get(), buf, size);
    if (n > 0) {
        got = static_cast<std::size_t>(n);
        return Step::Done;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return Step::Again;
    fault.outcome = Outcome::Dropped;
    fault.detail =
        n == 0 ? (device_ ? "the device hung up" : "the console server closed the connection")
               : std::string("reading failed: ") + std::strerror(errno);
    return Step::Failed;
}

Transport::Step PlainTransport::write(std::string_view bytes, std::size_t& taken,
                                      LineFault& fault) {
    taken = 0;
    const ssize_t n = device_ ? ::write(fd_.get(), bytes.data(), bytes.size())
                              : ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n >= 0) {
        taken = static_cast<std::size_t>(n);
        return Step::Done;
    }
    if (errno == EAGAIN || errno == EINTR) return Step::Again;
    fault.outcome = Outcome::Dropped;
    fault.detail = std::string("writing failed: ") + std::strerror(errno);
    return Step::Failed;
}

}  // namespace qfclient
