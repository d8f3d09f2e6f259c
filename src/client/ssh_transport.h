// SPDX-License-Identifier: Apache-2.0
// A console server's port over SSH (ssh:), spoken through libssh on the connected socket,
// without blocking: the key exchange, the host key checked as OpenSSH's client checks it
// (~/.ssh/known_hosts or the line's own file, and /etc/ssh/ssh_known_hosts; an unknown or
// changed key refuses the line), authentication by key only (ssh-agent's keys, then the
// line's identity, then the default files in ~/.ssh; never a password, never a prompt: a
// key that needs a passphrase is passed over), and a session channel with a shell and no
// terminal, whose data is the serial stream, binary clean both ways. ~/.ssh/config is not
// read: the address says where the line goes.
#pragma once

#include <libssh/callbacks.h>
#include <libssh/libssh.h>

#include <string>

#include "client/held_file.h"
#include "client/transport.h"
#include "core/unique_fd.h"
#include "quillferry/address.h"

namespace qfclient {

class SshTransport : public Transport {
public:
    // `fd`: the socket connected to the console server.
    SshTransport(UniqueFd fd, const LineAddress& address);
    ~SshTransport() override;

    int fd() const override { return fd_; }
    short events(bool sending) const override;
    Step setUp(LineFault& fault) override;
    std::string settingUp() const override;
    Step read(char* buf, std::size_t size, std::size_t& got, LineFault& fault) override;
    Step write(std::string_view bytes, std::size_t& taken, LineFault& fault) override;
    bool buffered() const override { return moreWaiting_; }

private:
    enum class Stage { Start, KeyExchange, Authenticating, OpeningChannel, RequestingShell, Open };

    bool configure(LineFault& fault);
    bool checkHostKey(LineFault& fault);
    Step refusedKeys(LineFault& fault);
    // What the console server said last, for a fault: the channel's standard error and what
    // its stream still holds, as " (it said: ...)"; empty when nothing.
    std::string lastWords();
    // A fault for what libssh reports (escaped, cut short); Busy when the console server
    // says the port is in use.
    Step failed(const std::string& what, LineFault& fault, Outcome outcome = Outcome::Unavailable);
    // Reads what the console server writes to the channel's standard error: kept for a
    // message (the first bytes), never part of the stream.
    void drainErrors();

    LineAddress address_;
    int fd_;
    UniqueFd socket_;  // until libssh takes it over (ssh_connect closes it with the session)
    ssh_session session_ = nullptr;
    ssh_channel channel_ = nullptr;
    ssh_callbacks_struct callbacks_{};
    Stage stage_ = Stage::Start;
    // The known hosts files as read for this line, and their copies for libssh.
    HeldFile userKnownHosts_;
    HeldFile globalKnownHosts_;
    UniqueFd userKnownHostsCopy_;
    UniqueFd globalKnownHostsCopy_;
    UniqueFd identityCopy_;
    bool passphraseWanted_ = false;
    // The channel's window is closed: wait for the console server, not for the socket.
    bool windowClosed_ = false;
    bool moreWaiting_ = false;
    std::string errors_;  // the first bytes of the channel's standard error
};

}  // namespace qfclient
