// SPDX-License-Identifier: Apache-2.0
// Telnet with RFC 2217 over a line's stream (telnet:, telnets:), spoken through libtelnet:
// binary mode both ways (a zero byte and 0xFF pass unchanged), suppressed go-ahead, and the
// console server's port set to 115200 8N1, each setting confirmed once with its value.
// The session never calls back into the line while libtelnet works: what it decodes goes
// to the line's data function and its wire, and a refusal is kept as its fault, which the
// line reads once receive() or send() has returned.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "client/transport.h"

struct telnet_t;
union telnet_event_t;

namespace qfclient {

class TelnetSession {
public:
    // `data`: the serial stream's bytes as they are decoded; `wire`: where the bytes for the
    // descriptor go (telnet-encoded). Both must outlive the session.
    TelnetSession(std::function<void(std::string_view)> data, std::string& wire);
    ~TelnetSession();
    TelnetSession(const TelnetSession&) = delete;
    TelnetSession& operator=(const TelnetSession&) = delete;

    // Offers what this end speaks. False when libtelnet cannot start.
    bool start();
    // Decodes bytes from the descriptor.
    void receive(const char* bytes, std::size_t size);
    // Encodes stream bytes for the descriptor.
    void send(std::string_view bytes);

    // Whether the port is set up: binary both ways and every serial setting confirmed.
    bool ready() const;
    // What the console server has not confirmed yet, for a message.
    std::string missing() const;
    // Set once the console server refused something or broke the protocol; nothing more is
    // decoded then.
    const std::optional<LineFault>& fault() const { return fault_; }

private:
    static constexpr std::size_t kSettingCount = 4;

    void event(const telnet_event_t& event);
    void refuse(const std::string& what);

    std::function<void(std::string_view)> data_;
    std::string& wire_;
    telnet_t* telnet_ = nullptr;
    bool binaryOut_ = false;
    bool binaryIn_ = false;
    bool comPort_ = false;
    bool confirmed_[kSettingCount] = {};
    std::optional<LineFault> fault_;
};

}  // namespace qfclient
