// SPDX-License-Identifier: Apache-2.0
// The stream of a local serial device or of a console server's raw TCP port: the bytes of
// the descriptor as they are, nothing to set up.
#pragma once

#include "client/transport.h"
#include "core/unique_fd.h"

namespace qfclient {

class PlainTransport : public Transport {
public:
    // `device`: a local serial device (read and written as a file); otherwise a connected
    // socket (written without SIGPIPE when the console server has gone).
    PlainTransport(UniqueFd fd, bool device) : fd_(std::move(fd)), device_(device) {}

    int fd() const override { return fd_.get(); }
    short events(bool sending) const override {
        return static_cast<short>(POLLIN | (sending ? POLLOUT : 0));
    }
    Step setUp(LineFault& /*fault*/) override { return Step::Done; }
    std::string settingUp() const override { return std::string(); }
    Step read(char* buf, std::size_t size, std::size_t& got, LineFault& fault) override;
    Step write(std::string_view bytes, std::size_t& taken, LineFault& fault) override;

private:
    UniqueFd fd_;
    bool device_;
};

}  // namespace qfclient
