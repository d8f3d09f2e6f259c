// SPDX-License-Identifier: Apache-2.0
#include "client/telnet_session.h"

#include <libtelnet.h>

#include <algorithm>
#include <iterator>

#include "quillferry/reply.h"

namespace qfclient {

namespace {

// RFC 2217: the COM-PORT-OPTION and the settings the board's line needs, 115200 8N1. The
// server answers each with the same command plus 100 and the value it set.
constexpr unsigned char kComPortOption = 44;
constexpr unsigned char kServerReplyOffset = 100;
struct SerialSetting {
    const char* name;
    unsigned char command;
    unsigned int value;
    std::size_t size;  // bytes of the value, most significant first
};
constexpr SerialSetting kSerialSettings[] = {
    {"baud rate 115200", 1, 115200, 4},
    {"8 data bits", 2, 8, 1},
    {"no parity", 3, 1, 1},
    {"1 stop bit", 4, 1, 1},
};

// What this end speaks: binary both ways (a zero byte and 0xFF pass unchanged), suppressed
// go-ahead, and the com port option as the client.
const telnet_telopt_t kTelnetOptions[] = {
    {TELNET_TELOPT_BINARY, TELNET_WILL, TELNET_DO},
    {TELNET_TELOPT_SGA, TELNET_WILL, TELNET_DO},
    {kComPortOption, TELNET_WILL, TELNET_DONT},
    {-1, 0, 0},
};

}  // namespace

TelnetSession::TelnetSession(std::function<void(std::string_view)> data, std::string& wire)
    : data_(std::move(data)), wire_(wire) {
    static_assert(std::size(kSerialSettings) == kSettingCount);
}

TelnetSession::~TelnetSession() {
    if (telnet_ != nullptr) telnet_free(telnet_);
}

bool TelnetSession::start() {
    telnet_ = telnet_init(
        kTelnetOptions,
        [](telnet_t* /*t*/, telnet_event_t* e, void* self) {
            static_cast<TelnetSession*>(self)->event(*e);
        },
        0, this);
    if (telnet_ == nullptr) return false;
    telnet_negotiate(telnet_, TELNET_WILL, TELNET_TELOPT_BINARY);
    telnet_negotiate(telnet_, TELNET_DO, TELNET_TELOPT_BINARY);
    telnet_negotiate(telnet_, TELNET_WILL, TELNET_TELOPT_SGA);
    telnet_negotiate(telnet_, TELNET_DO, TELNET_TELOPT_SGA);
    telnet_negotiate(telnet_, TELNET_WILL, kComPortOption);
    return true;
}

void TelnetSession::receive(const char* bytes, std::size_t size) {
    if (!fault_) telnet_recv(telnet_, bytes, size);
}

void TelnetSession::send(std::string_view bytes) {
    if (!fault_) telnet_send(telnet_, bytes.data(), bytes.size());
}

bool TelnetSession::ready() const {
    return !fault_ && binaryOut_ && binaryIn_ &&
           std::all_of(std::begin(confirmed_), std::end(confirmed_), [](bool c) { return c; });
}

std::string TelnetSession::missing() const {
    if (!comPort_) return "com port control (RFC 2217)";
    if (!std::all_of(std::begin(confirmed_), std::end(confirmed_), [](bool c) { return c; }))
        return "the serial settings 115200 8N1";
    return "binary mode";
}

void TelnetSession::refuse(const std::string& what) {
    if (!fault_) fault_ = LineFault{Outcome::Unavailable, "the console server " + what};
}

void TelnetSession::event(const telnet_event_t& event) {
    // libtelnet goes on with the rest of a read after a refusal: nothing more is heard.
    if (fault_) return;
    switch (event.type) {
        case TELNET_EV_DATA:
            return data_(std::string_view(event.data.buffer, event.data.size));
        case TELNET_EV_SEND:
            wire_.append(event.data.buffer, event.data.size);
            return;
        case TELNET_EV_DO:
            if (event.neg.telopt == TELNET_TELOPT_BINARY) binaryOut_ = true;
            if (event.neg.telopt == kComPortOption && !comPort_) {
                comPort_ = true;
                for (const SerialSetting& setting : kSerialSettings) {
                    char payload[5] = {static_cast<char>(setting.command)};
                    for (std::size_t i = 0; i < setting.size; ++i) {
                        payload[1 + i] =
                            static_cast<char>(setting.value >> (8 * (setting.size - 1 - i)));
                    }
                    telnet_subnegotiation(telnet_, kComPortOption, payload, 1 + setting.size);
                }
            }
            return;
        case TELNET_EV_WILL:
            if (event.neg.telopt == TELNET_TELOPT_BINARY) binaryIn_ = true;
            return;
        // Only an option withdrawn after it was agreed: libtelnet reports no refusal of one
        // asked for, which the deadline then tells.
        case TELNET_EV_DONT:
        case TELNET_EV_WONT:
            if (event.neg.telopt == TELNET_TELOPT_BINARY)
                return refuse("refuses binary mode, so a zero byte or 0xFF could not pass");
            if (event.neg.telopt == kComPortOption && !ready())
                return refuse("does not speak RFC 2217 (com port control)");
            return;
        case TELNET_EV_SUBNEGOTIATION: {
            if (event.sub.telopt != kComPortOption || event.sub.size < 1 || !comPort_) return;
            const auto code = static_cast<unsigned char>(event.sub.buffer[0]);
            for (std::size_t k = 0; k < kSettingCount; ++k) {
                const SerialSetting& setting = kSerialSettings[k];
                if (code != setting.command + kServerReplyOffset) continue;
                unsigned int value = 0;
                for (std::size_t i = 1; i < event.sub.size && i <= setting.size; ++i)
                    value = (value << 8) | static_cast<unsigned char>(event.sub.buffer[i]);
                // Each setting is confirmed once, with the value asked for.
                if (event.sub.size != 1 + setting.size || value != setting.value) {
                    return refuse("did not set " + std::string(setting.name) + " (it answered " +
                                  std::to_string(value) + ")");
                }
                if (confirmed_[k])
                    return refuse("confirmed " + std::string(setting.name) + " twice");
                confirmed_[k] = true;
            }
            return;
        }
        case TELNET_EV_ERROR:
            fault_ = LineFault{Outcome::Dropped,
                               "telnet protocol error: " + escapeBytes(event.error.msg)};
            return;
        default:
            return;
    }
}

}  // namespace qfclient
