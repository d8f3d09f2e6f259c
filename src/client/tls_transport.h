// SPDX-License-Identifier: Apache-2.0
// A console server's port inside TLS (tls:, and telnets: with telnet above it), spoken
// through OpenSSL on the connected socket without blocking: TLS 1.2 at the least, the
// server's certificate verified against the system's CA store or the line's own CA file,
// and its name or IP address against the line's host; a client certificate where the line
// names one. A certificate that does not verify, a name that does not match, or a server
// that asks for a client certificate the line does not have: the line is refused before
// anything is sent. Renegotiation is refused. OpenSSL reads and writes memory; the socket
// is read and written here, never more than a record ahead, and never with SIGPIPE.
#pragma once

#include <openssl/ssl.h>

#include <map>
#include <memory>
#include <string>

#include "client/held_file.h"
#include "client/transport.h"
#include "core/unique_fd.h"
#include "quillferry/address.h"

namespace qfclient {

// The TLS settings of a loop's lines: one OpenSSL context per combination of CA file,
// client certificate and key, so that a fleet loads the system's CA store once rather than
// once per board. A context is made again when one of its files has changed since.
class TlsContexts {
public:
    TlsContexts();
    ~TlsContexts();
    TlsContexts(const TlsContexts&) = delete;
    TlsContexts& operator=(const TlsContexts&) = delete;

    // The context for `address`'s files; null, with `error`, when one cannot be read or
    // used (a key that needs a passphrase among them: none is ever asked for).
    std::shared_ptr<SSL_CTX> context(const LineAddress& address, std::string& error);

private:
    struct Entry;
    std::map<std::string, std::unique_ptr<Entry>> entries_;
};

class TlsTransport : public Transport {
public:
    // `fd`: the socket connected to the console server.
    TlsTransport(UniqueFd fd, std::shared_ptr<SSL_CTX> context, const LineAddress& address);
    ~TlsTransport() override;

    int fd() const override { return fd_.get(); }
    short events(bool sending) const override;
    Step setUp(LineFault& fault) override;
    std::string settingUp() const override { return "the TLS handshake"; }
    Step read(char* buf, std::size_t size, std::size_t& got, LineFault& fault) override;
    Step write(std::string_view bytes, std::size_t& taken, LineFault& fault) override;
    bool buffered() const override { return moreWaiting_; }

    // Whether the server asked for a client certificate and the line has none.
    void certificateAsked() { certificateAsked_ = true; }

private:
    // Moves bytes from the socket to OpenSSL (no more than a record's worth waits).
    bool pull(LineFault& fault);
    // Moves what OpenSSL wrote to the socket.
    bool push(LineFault& fault);
    Step handshakeFailed(LineFault& fault);
    // The session ended (`error`: why, when it was no close): before anything came, the line
    // was refused (unavailable); afterwards it went away (dropped).
    void ended(LineFault& fault, const std::string& error) const;
    Step streamFailed(int rc, LineFault& fault);

    UniqueFd fd_;
    std::shared_ptr<SSL_CTX> context_;
    SSL* ssl_ = nullptr;
    BIO* in_ = nullptr;   // owned by ssl_
    BIO* out_ = nullptr;  // owned by ssl_
    std::string outbox_;  // written by OpenSSL, not yet taken by the socket
    std::string host_;
    std::string setupError_;
    bool hasClientCertificate_ = false;
    bool certificateAsked_ = false;
    bool closed_ = false;       // the console server closed its end
    bool heard_ = false;        // stream bytes came
    bool moreWaiting_ = false;  // OpenSSL may hold more stream bytes than were read
};

}  // namespace qfclient
