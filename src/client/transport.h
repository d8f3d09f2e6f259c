// SPDX-License-Identifier: Apache-2.0
// The serial stream of one line over its descriptor, as the event loop drives it: a local
// device or a TCP socket as they are (plain_transport), TLS (tls_transport) or an SSH
// session channel (ssh_transport) on a connected socket. A transport never blocks: it says
// which poll() events it waits for, sets itself up (handshake, authentication) step by step
// and reads and writes the stream's bytes as far as the descriptor allows. Telnet, where a
// line speaks it, is a layer above (telnet_session).
#pragma once

#include <poll.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "quillferry/line.h"

namespace qfclient {

// Why a line cannot go on: the outcome it gives the call, and why (one line, whatever came
// from the peer escaped).
struct LineFault {
    Outcome outcome = Outcome::Unavailable;
    std::string detail;
};

class Transport {
public:
    enum class Step {
        Done,    // set up; read or written (a read of nothing is Again)
        Again,   // wait for the descriptor (events()), then try again
        Failed,  // the line cannot go on: `fault` says why
    };

    Transport() = default;
    virtual ~Transport() = default;
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    virtual int fd() const = 0;
    // The poll() events it waits for now; `sending` when stream bytes wait to be written.
    virtual short events(bool sending) const = 0;
    // Takes the next steps of setting the stream up; Done once the stream carries bytes.
    virtual Step setUp(LineFault& fault) = 0;
    // What the set-up waits for, for a message when the deadline passes ("the TLS
    // handshake").
    virtual std::string settingUp() const = 0;
    // Reads stream bytes into `buf`: Done with `got` > 0, Again when there are none now,
    // Failed at the stream's end (a Dropped fault) or on an error.
    virtual Step read(char* buf, std::size_t size, std::size_t& got, LineFault& fault) = 0;
    // Writes some of `bytes`: Done with `taken` of them (perhaps not all), Again when none
    // can go now, Failed on an error.
    virtual Step write(std::string_view bytes, std::size_t& taken, LineFault& fault) = 0;
    // Whether it holds stream bytes already read from the descriptor, which poll() cannot
    // announce (a TLS record read whole, an SSH channel's buffer).
    virtual bool buffered() const { return false; }
};

}  // namespace qfclient
