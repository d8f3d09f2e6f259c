// SPDX-License-Identifier: Apache-2.0
#include "client/tls_transport.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "client/resolver.h"
#include "quillferry/reply.h"

namespace qfclient {

namespace {

// What OpenSSL is given from the socket ahead of what it has read (a record and a half),
// and what may wait for the socket to take it.
constexpr std::size_t kMaxPulledBytes = std::size_t{24} * 1024;
constexpr std::size_t kMaxOutboxBytes = std::size_t{24} * 1024;
constexpr std::size_t kMaxShownBytes = 200;

// A password callback that never asks anyone: a key that needs a passphrase is not read
// (OpenSSL's own would ask on the terminal). `asked`, when given, is set.
int noPassphrase(char* /*buf*/, int /*size*/, int /*rwflag*/, void* asked) {
    if (asked != nullptr) *static_cast<bool*>(asked) = true;
    return 0;
}

// Whether OpenSSL's first error is the connection's end where a record was due.
bool unexpectedEnd() {
    const unsigned long e = ERR_peek_error();
    return e == 0 || ERR_GET_REASON(e) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
}

// The first error OpenSSL reports, as text.
std::string errorText() {
    const unsigned long e = ERR_peek_error();
    if (e == 0) return "no reason given";
    const char* reason = ERR_reason_error_string(e);
    return reason != nullptr ? reason : "error " + std::to_string(e);
}

using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;

Bio memoryBio(const std::string& bytes) {
    return Bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())), BIO_free);
}

bool loadCa(SSL_CTX* ctx, const HeldFile& file, std::string& error) {
    const Bio bio = memoryBio(file.bytes);
    X509_STORE* store = SSL_CTX_get_cert_store(ctx);
    int count = 0;
    for (X509* cert = nullptr;
         bio && (cert = PEM_read_bio_X509(bio.get(), nullptr, noPassphrase, nullptr)) != nullptr;) {
        const int added = X509_STORE_add_cert(store, cert);
        X509_free(cert);
        if (added != 1) break;
        ++count;
    }
    ERR_clear_error();  // the end of the file
    if (count == 0) error = "the CA file '" + escapeBytes(file.path) + "' holds no certificate";
    return count > 0;
}

bool loadClientCertificate(SSL_CTX* ctx, const HeldFile& cert, HeldFile& key, std::string& error) {
    const std::string certName = "the certificate '" + escapeBytes(cert.path) + "'";
    const std::string keyName = "the key '" + escapeBytes(key.path) + "'";
    Bio bio = memoryBio(cert.bytes);
    X509* first = bio ? PEM_read_bio_X509_AUX(bio.get(), nullptr, noPassphrase, nullptr) : nullptr;
    if (first == nullptr || SSL_CTX_use_certificate(ctx, first) != 1) {
        X509_free(first);
        error = certName + " holds no usable certificate (" + errorText() + ")";
        return false;
    }
    X509_free(first);
    // The rest of the file: the chain up to the CA.
    for (X509* more = nullptr;
         (more = PEM_read_bio_X509(bio.get(), nullptr, noPassphrase, nullptr)) != nullptr;) {
        if (SSL_CTX_add0_chain_cert(ctx, more) != 1) X509_free(more);
    }
    ERR_clear_error();
    bool asked = false;
    bio = memoryBio(key.bytes);
    EVP_PKEY* pkey =
        bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, &asked) : nullptr;
    OPENSSL_cleanse(key.bytes.data(), key.bytes.size());
    if (pkey == nullptr || SSL_CTX_use_PrivateKey(ctx, pkey) != 1) {
        EVP_PKEY_free(pkey);
        error = asked ? keyName +
                            " needs a passphrase, which the client never asks for: give "
                            "the key without one (readable only by its user)"
                      : keyName + " holds no usable private key (" + errorText() + ")";
        return false;
    }
    EVP_PKEY_free(pkey);
    if (SSL_CTX_check_private_key(ctx) != 1) {
        error = keyName + " is not the key of " + certName;
        return false;
    }
    return true;
}

}  // namespace

struct TlsContexts::Entry {
    std::shared_ptr<SSL_CTX> context;
    // The versions of the files it was made of (their contents are not kept).
    HeldFile ca;
    HeldFile cert;
    HeldFile key;
};

TlsContexts::TlsContexts() = default;
TlsContexts::~TlsContexts() = default;

std::shared_ptr<SSL_CTX> TlsContexts::context(const LineAddress& address, std::string& error) {
    const std::string id = address.ca + '\0' + address.cert + '\0' + address.key;
    std::unique_ptr<Entry>& entry = entries_[id];
    const auto current = [](const std::string& path, const HeldFile& file) {
        return path.empty() || sameVersion(path, file);
    };
    if (entry && current(address.ca, entry->ca) && current(address.cert, entry->cert) &&
        current(address.key, entry->key))
        return entry->context;
    entry.reset();

    auto made = std::make_unique<Entry>();
    made->context.reset(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    SSL_CTX* ctx = made->context.get();
    ERR_clear_error();
    if (ctx == nullptr || SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1) {
        error = "cannot start TLS: " + errorText();
        return nullptr;
    }
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                              SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_default_passwd_cb(ctx, noPassphrase);
    // Called only when the server asks for a certificate and the context has none.
    SSL_CTX_set_client_cert_cb(ctx, [](SSL* ssl, X509** /*cert*/, EVP_PKEY** /*key*/) {
        auto* transport = static_cast<TlsTransport*>(SSL_get_app_data(ssl));
        if (transport != nullptr) transport->certificateAsked();
        return 0;
    });
    if (address.ca.empty()) {
        if (SSL_CTX_set_default_verify_paths(ctx) != 1) {
            error = "cannot load the system's CA store: " + errorText();
            return nullptr;
        }
    } else if (!holdFile(address.ca, made->ca, error) || !loadCa(ctx, made->ca, error)) {
        error = "CA file: " + error;
        return nullptr;
    }
    if (!address.cert.empty() &&
        (!holdFile(address.cert, made->cert, error) || !holdFile(address.key, made->key, error) ||
         !loadClientCertificate(ctx, made->cert, made->key, error))) {
        return nullptr;
    }
    for (HeldFile* f : {&made->ca, &made->cert, &made->key}) f->bytes = std::string();
    ERR_clear_error();
    entry = std::move(made);
    return entry->context;
}

TlsTransport::TlsTransport(UniqueFd fd, std::shared_ptr<SSL_CTX> context,
                           const LineAddress& address)
    : fd_(std::move(fd)),
      context_(std::move(context)),
      host_(address.host),
      hasClientCertificate_(!address.cert.empty()) {
    ERR_clear_error();
    ssl_ = SSL_new(context_.get());
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    if (ssl_ == nullptr || in_ == nullptr || out_ == nullptr) {
        BIO_free(in_);
        BIO_free(out_);
        in_ = out_ = nullptr;
        setupError_ = "cannot start TLS: " + errorText();
        return;
    }
    SSL_set_bio(ssl_, in_, out_);
    SSL_set_connect_state(ssl_);
    SSL_set_app_data(ssl_, this);
    // The certificate must be for the host as the address names it: its IP address, or its
    // name (also sent to the server, which may hold several certificates).
    SocketAddress literal;
    bool named = false;
    if (literalAddress(host_, "1", literal)) {
        named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), host_.c_str()) == 1;
    } else {
        SSL_set_hostflags(ssl_, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        named = SSL_set_tlsext_host_name(ssl_, host_.c_str()) == 1 &&
                SSL_set1_host(ssl_, host_.c_str()) == 1;
    }
    if (!named) setupError_ = "cannot ask TLS for the host " + escapeBytes(host_);
}

TlsTransport::~TlsTransport() {
    if (ssl_ == nullptr) return;
    if (SSL_is_init_finished(ssl_) == 1 && !closed_) {
        // The close notification, as far as the socket takes it now.
        ERR_clear_error();
        SSL_shutdown(ssl_);
        LineFault ignored;
        push(ignored);
    }
    SSL_free(ssl_);
    ERR_clear_error();
}

short TlsTransport::events(bool sending) const {
    short events = closed_ ? 0 : POLLIN;
    if (!outbox_.empty() || (sending && outbox_.size() < kMaxOutboxBytes)) events |= POLLOUT;
    return events;
}

bool TlsTransport::pull(LineFault& fault) {
    if (closed_ || BIO_ctrl_pending(in_) >= kMaxPulledBytes) return true;
    char buf[16 * 1024];
    const ssize_t n = ::recv(fd_.get(), buf, sizeof(buf), 0);
    if (n > 0) {
        BIO_write(in_, buf, static_cast<int>(n));
    } else if (n == 0 || errno == ECONNRESET) {
        // A reset is the end of the connection as a close is: what it ends is judged the same.
        closed_ = true;
        BIO_set_mem_eof_return(in_, 0);
    } else if (errno != EAGAIN && errno != EINTR) {
        fault.outcome = Outcome::Dropped;
        fault.detail = std::string("reading failed: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool TlsTransport::push(LineFault& fault) {
    char buf[4096];
    while (BIO_ctrl_pending(out_) > 0) {
        const int n = BIO_read(out_, buf, sizeof(buf));
        if (n <= 0) break;
        outbox_.append(buf, static_cast<std::size_t>(n));
    }
    while (!outbox_.empty()) {
        const ssize_t n = ::send(fd_.get(), outbox_.data(), outbox_.size(), MSG_NOSIGNAL);
        if (n > 0) {
            outbox_.erase(0, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            break;
        } else if (errno == EPIPE || errno == ECONNRESET) {
            closed_ = true;
            ended(fault, "");
            return false;
        } else {
            fault.outcome = Outcome::Dropped;
            fault.detail = std::string("writing failed: ") + std::strerror(errno);
            return false;
        }
    }
    return true;
}

Transport::Step TlsTransport::setUp(LineFault& fault) {
    fault.outcome = Outcome::Unavailable;
    if (!setupError_.empty()) {
        fault.detail = setupError_;
        return Step::Failed;
    }
    if (!pull(fault)) {
        fault.outcome = Outcome::Unavailable;
        return Step::Failed;
    }
    ERR_clear_error();
    const int rc = SSL_connect(ssl_);
    const int err = rc == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl_, rc);
    if (!push(fault)) {
        fault.outcome = Outcome::Unavailable;
        fault.detail = closed_ ? "the console server closed the connection during the TLS handshake"
                               : fault.detail + " during the TLS handshake";
        return Step::Failed;
    }
    if (rc == 1) {
        if (certificateAsked_ && !hasClientCertificate_) {
            fault.detail =
                "the console server asks for a client certificate, and the line "
                "names none: give one with its key (--cert and --key; in an "
                "inventory, cert and key)";
            return Step::Failed;
        }
        return Step::Done;
    }
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return Step::Again;
    return handshakeFailed(fault);
}

Transport::Step TlsTransport::handshakeFailed(LineFault& fault) {
    fault.outcome = Outcome::Unavailable;
    const long verified = SSL_get_verify_result(ssl_);
    if (verified != X509_V_OK) {
        fault.detail = std::string("the console server's certificate does not verify: ") +
                       X509_verify_cert_error_string(verified);
        if (X509* peer = SSL_get1_peer_certificate(ssl_); peer != nullptr) {
            char subject[kMaxShownBytes] = "";
            X509_NAME_oneline(X509_get_subject_name(peer), subject, sizeof(subject));
            X509_free(peer);
            fault.detail += " (its certificate names " + escapeBytes(subject) + ")";
        }
        if (verified == X509_V_ERR_HOSTNAME_MISMATCH || verified == X509_V_ERR_IP_ADDRESS_MISMATCH)
            fault.detail += ", not " + escapeBytes(host_);
    } else if (closed_ && unexpectedEnd()) {
        fault.detail = "the console server closed the connection during the TLS handshake";
    } else {
        fault.detail = "the TLS handshake failed: " + errorText();
    }
    if (certificateAsked_ && !hasClientCertificate_) {
        fault.detail +=
            "; the console server asks for a client certificate, and the line "
            "names none (--cert and --key)";
    }
    ERR_clear_error();
    return Step::Failed;
}

void TlsTransport::ended(LineFault& fault, const std::string& error) const {
    if (!heard_) {
        // Ended after the handshake, before anything came: with TLS 1.3 the server judges
        // the client's certificate only then.
        fault.outcome = Outcome::Unavailable;
        fault.detail = "the console server ended the TLS session before anything came" +
                       (error.empty() ? std::string() : ": " + error) +
                       (hasClientCertificate_ ? " (does it take the client certificate?)" : "");
    } else {
        fault.outcome = Outcome::Dropped;
        fault.detail =
            error.empty() ? "the console server closed the connection" : "TLS failed: " + error;
    }
}

Transport::Step TlsTransport::streamFailed(int rc, LineFault& fault) {
    const int err = SSL_get_error(ssl_, rc);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return Step::Again;
    const bool closed = err == SSL_ERROR_ZERO_RETURN || (closed_ && unexpectedEnd());
    ended(fault, closed ? "" : errorText());
    ERR_clear_error();
    return Step::Failed;
}

Transport::Step TlsTransport::read(char* buf, std::size_t size, std::size_t& got,
                                   LineFault& fault) {
    got = 0;
    moreWaiting_ = false;
    if (!pull(fault)) return Step::Failed;
    ERR_clear_error();
    std::size_t n = 0;
    const int rc = SSL_read_ex(ssl_, buf, size, &n);
    if (rc != 1) {
        const Step step = streamFailed(rc, fault);
        LineFault ignored;
        // An alert, a key update: what OpenSSL wrote goes out.
        if (!push(step == Step::Failed ? ignored : fault)) return Step::Failed;
        return step;
    }
    if (!push(fault)) return Step::Failed;
    got = n;
    heard_ = true;
    moreWaiting_ = SSL_pending(ssl_) > 0 || BIO_ctrl_pending(in_) > 0;
    return Step::Done;
}

Transport::Step TlsTransport::write(std::string_view bytes, std::size_t& taken, LineFault& fault) {
    taken = 0;
    if (!push(fault)) return Step::Failed;
    // What the socket has not taken is bounded: the rest waits with the line.
    if (outbox_.size() >= kMaxOutboxBytes) return Step::Again;
    ERR_clear_error();
    std::size_t n = 0;
    const int rc = SSL_write_ex(ssl_, bytes.data(), std::min(bytes.size(), kMaxOutboxBytes), &n);
    if (rc != 1) return streamFailed(rc, fault);
    taken = n;
    return push(fault) ? Step::Done : Step::Failed;
}

}  // namespace qfclient
