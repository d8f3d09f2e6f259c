// SPDX-License-Identifier: Apache-2.0
#include "exporter/http_server.h"

#include <gnutls/gnutls.h>
#include <microhttpd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "core/log.h"

namespace exporter {

namespace {

// The memory libmicrohttpd keeps (and touches whole) per connection for the request's
// headers and the answer's: a scrape's request, basic authentication included, takes some
// 500 bytes; a request whose headers do not fit is refused (431).
constexpr std::size_t kConnectionMemoryBytes = std::size_t{4} * 1024;

void logMessage(void* /*cls*/, const char* format, va_list args) {
    char text[512];
    std::vsnprintf(text, sizeof(text), format, args);
    std::size_t n = std::strlen(text);
    while (n > 0 && text[n - 1] == '\n') --n;
    logLine("http: %s", visible(std::string_view(text, n)).c_str());
}

struct Argument {
    const char* name;
    std::optional<std::string> value;
    int count = 0;
};

MHD_Result collectArgument(void* cls, MHD_ValueKind /*kind*/, const char* key, std::size_t keySize,
                           const char* value, std::size_t valueSize) {
    auto* a = static_cast<Argument*>(cls);
    if (key == nullptr || std::string_view(key, keySize) != a->name) return MHD_YES;
    if (++a->count == 1) a->value = value != nullptr ? std::string(value, valueSize) : "";
    return MHD_YES;
}

}  // namespace

struct HttpCallbacks {
    static MHD_Result request(void* cls, MHD_Connection* connection, const char* url,
                              const char* method, const char* /*version*/, const char* /*upload*/,
                              std::size_t* uploadSize, void** state) {
        auto* server = static_cast<HttpServer*>(cls);
        return server->serve(connection, url, method, uploadSize, state) ? MHD_YES : MHD_NO;
    }
    static void completed(void* /*cls*/, MHD_Connection* /*connection*/, void** state,
                          MHD_RequestTerminationCode /*why*/) {
        delete static_cast<Exchange*>(*state);
        *state = nullptr;
    }
};

std::optional<std::string> Exchange::argument(const char* name, bool& repeated) const {
    Argument a{name, std::nullopt, 0};
    MHD_get_connection_values_n(connection_, MHD_GET_ARGUMENT_KIND, collectArgument, &a);
    repeated = a.count > 1;
    return a.value;
}

std::optional<std::string> Exchange::header(const char* name) const {
    const char* value = nullptr;
    std::size_t size = 0;
    if (MHD_lookup_connection_value_n(connection_, MHD_HEADER_KIND, name, std::strlen(name), &value,
                                      &size) != MHD_YES ||
        value == nullptr)
        return std::nullopt;
    return std::string(value, size);
}

bool Exchange::credentials(std::string& user, std::string& password) const {
    char* pass = nullptr;
    char* name = MHD_basic_auth_get_username_password(connection_, &pass);
    const bool given = name != nullptr;
    if (given) user = name;
    password = pass != nullptr ? pass : "";
    if (pass != nullptr) {
        std::memset(pass, 0, std::strlen(pass));
        MHD_free(pass);
    }
    if (name != nullptr) MHD_free(name);
    return given;
}

bool Exchange::verifiedClientCertificate() const {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection_, MHD_CONNECTION_INFO_GNUTLS_SESSION);
    if (info == nullptr || info->tls_session == nullptr) return false;
    auto* session = static_cast<gnutls_session_t>(info->tls_session);
    unsigned int count = 0;
    if (gnutls_certificate_get_peers(session, &count) == nullptr || count == 0) return false;
    unsigned int status = 0;
    return gnutls_certificate_verify_peers2(session, &status) == GNUTLS_E_SUCCESS && status == 0;
}

void Exchange::answer(int status, std::string body, const char* contentType) {
    if (answered()) return;
    status_ = status;
    body_ = std::move(body);
    contentType_ = contentType;
    if (suspended_) {
        suspended_ = false;
        MHD_resume_connection(connection_);
    }
}

void Exchange::challenge() {
    challenge_ = true;
    answer(MHD_HTTP_UNAUTHORIZED, "Unauthorized\n", "text/plain; charset=utf-8");
}

HttpServer::HttpServer(UniqueFd listener, const Settings& settings, Handler handler,
                       Counter counter)
    : handler_(std::move(handler)), counter_(std::move(counter)), tls_(settings.tls) {
    std::vector<MHD_OptionItem> options = {
        {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&logMessage), nullptr},
        {MHD_OPTION_LISTEN_SOCKET, listener.get(), nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, settings.maxConnections, nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, settings.idleTimeoutSeconds, nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(kConnectionMemoryBytes),
         nullptr},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&HttpCallbacks::completed),
         nullptr},
    };
    unsigned int flags = MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (tls_) {
        flags |= MHD_USE_TLS;
        priorities_ = tlsPriorities(*tls_);
        options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, tls_->key.data()});
        options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, tls_->cert.data()});
        options.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, priorities_.data()});
        if (!tls_->clientCa.empty())
            options.push_back({MHD_OPTION_HTTPS_MEM_TRUST, 0, tls_->clientCa.data()});
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    daemon_ = MHD_start_daemon(flags, 0, nullptr, nullptr, &HttpCallbacks::request, this,
                               MHD_OPTION_ARRAY, options.data(), MHD_OPTION_END);
    if (daemon_ == nullptr) {
        throw std::runtime_error(tls_ ? "cannot start the HTTPS server (see above: is the key "
                                        "and certificate a pair GnuTLS reads?)"
                                      : "cannot start the HTTP server (see above)");
    }
    listener.release();  // the server's now, closed when it stops
}

HttpServer::~HttpServer() {
    MHD_stop_daemon(daemon_);
}

int HttpServer::fd() const {
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_EPOLL_FD);
    return info != nullptr ? info->epoll_fd : -1;
}

long long HttpServer::timeoutMs() const {
    MHD_UNSIGNED_LONG_LONG ms = 0;
    if (MHD_get_timeout(daemon_, &ms) != MHD_YES) return -1;
    return static_cast<long long>(std::min<MHD_UNSIGNED_LONG_LONG>(ms, 86400000));
}

void HttpServer::run() {
    MHD_run(daemon_);
}

void HttpServer::quiesce() {
    const MHD_socket listener = MHD_quiesce_daemon(daemon_);
    if (listener != MHD_INVALID_SOCKET) ::close(listener);
}

unsigned HttpServer::connections() const {
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_CURRENT_CONNECTIONS);
    return info != nullptr ? info->num_connections : 0;
}

bool HttpServer::serve(MHD_Connection* connection, const char* url, const char* method,
                       std::size_t* uploadSize, void** state) {
    auto* exchange = static_cast<Exchange*>(*state);
    if (exchange == nullptr) {
        exchange = new Exchange(connection, next_++, method != nullptr ? method : "",
                                url != nullptr ? url : "");
        *state = exchange;
        // Every endpoint takes GET (and HEAD) alone: anything else is answered at once, and
        // its body never read. A GET is handled once it has come whole, so that the
        // connection can be kept for the next scrape.
        const std::string& m = exchange->method();
        if (m == "GET" || m == "HEAD") return true;
        exchange->answer(405, "Only GET and HEAD\n", "text/plain; charset=utf-8");
    } else if (!exchange->started_) {
        exchange->started_ = true;
        // Nothing may unwind through libmicrohttpd's C frames: a failure is this request's.
        try {
            handler_(*exchange);
        } catch (const std::exception& e) {
            logLine("request %s: %s", visible(exchange->path()).c_str(), visible(e.what()).c_str());
            exchange->answer(500, "Internal error\n", "text/plain; charset=utf-8");
        }
    }
    *uploadSize = 0;
    if (exchange->answered()) return exchange->queued_ || send(*exchange);
    if (!exchange->suspended_) {
        exchange->suspended_ = true;
        MHD_suspend_connection(connection);
    }
    return true;
}

bool HttpServer::send(Exchange& exchange) {
    exchange.queued_ = true;
    // The body is handed over as it is, not copied: a thousand answers under way hold one
    // copy each.
    auto* body = new std::string(std::move(exchange.body_));
    MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
        body->size(), body->data(), [](void* cls) { delete static_cast<std::string*>(cls); }, body);
    if (response == nullptr) {
        delete body;
        return false;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, exchange.contentType_);
    const MHD_Result queued =
        exchange.challenge_ ? MHD_queue_basic_auth_fail_response(exchange.connection_,
                                                                 "quillferry-exporter", response)
                            : MHD_queue_response(exchange.connection_,
                                                 static_cast<unsigned>(exchange.status_), response);
    MHD_destroy_response(response);
    if (counter_) counter_(exchange.status_);
    return queued == MHD_YES;
}

}  // namespace exporter
