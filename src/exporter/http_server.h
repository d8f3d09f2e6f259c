// SPDX-License-Identifier: Apache-2.0
// The exporter's HTTP server: libmicrohttpd without threads of its own, driven from the
// event loop through one epoll descriptor, with TLS through GnuTLS. A request whose answer
// takes time (a probe, a password check) is suspended and resumed once answered, so that
// any number of them wait at once without holding up the others.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "core/unique_fd.h"
#include "exporter/web_config.h"

struct MHD_Connection;
struct MHD_Daemon;

namespace exporter {

class HttpServer;

// One request, from its headers to its answer.
class Exchange {
public:
    const std::string& method() const { return method_; }
    const std::string& path() const { return path_; }
    // The query argument `name`, unset when absent; `repeated` tells whether it came more than
    // once. A value with a zero byte is given as it is.
    std::optional<std::string> argument(const char* name, bool& repeated) const;
    std::optional<std::string> header(const char* name) const;
    // Basic authentication's user and password; false when the request carries none.
    bool credentials(std::string& user, std::string& password) const;
    // Whether the client presented a certificate that the configured client CA verifies.
    bool verifiedClientCertificate() const;
    std::uint64_t id() const { return id_; }

    // Answers the request, now or later from the loop (the request is then resumed).
    void answer(int status, std::string body, const char* contentType);
    // 401 with the challenge for basic authentication.
    void challenge();
    bool answered() const { return status_ != 0; }

private:
    friend class HttpServer;
    Exchange(MHD_Connection* connection, std::uint64_t id, std::string method, std::string path)
        : connection_(connection), id_(id), method_(std::move(method)), path_(std::move(path)) {}

    MHD_Connection* connection_;
    std::uint64_t id_;
    std::string method_;
    std::string path_;
    int status_ = 0;
    std::string body_;
    const char* contentType_ = nullptr;
    bool challenge_ = false;
    bool started_ = false;  // handed to the handler
    bool suspended_ = false;
    bool queued_ = false;
};

class HttpServer {
public:
    struct Settings {
        int maxConnections = 4096;
        // Seconds an idle connection is kept.
        unsigned idleTimeoutSeconds = 60;
        std::optional<WebConfig::Tls> tls;
    };
    // Called once for each request, with its headers; it answers or leaves the exchange to
    // be answered later.
    using Handler = std::function<void(Exchange&)>;
    // Called with the status of each answer sent.
    using Counter = std::function<void(int status)>;

    // Serves on `listener` (a listening socket, taken over). Throws std::runtime_error when
    // the server cannot start (a key or certificate GnuTLS does not take).
    HttpServer(UniqueFd listener, const Settings& settings, Handler handler, Counter counter);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // The descriptor to poll for reading.
    int fd() const;
    // Milliseconds until the server must run again, or -1 when only its descriptor matters.
    long long timeoutMs() const;
    // Serves what is ready.
    void run();
    // Takes no more connections.
    void quiesce();
    unsigned connections() const;

private:
    friend struct HttpCallbacks;  // libmicrohttpd's callbacks (http_server.cpp)
    // libmicrohttpd's request handler: true to go on with the connection.
    bool serve(MHD_Connection* connection, const char* url, const char* method,
               std::size_t* uploadSize, void** state);
    bool send(Exchange& exchange);

    Handler handler_;
    Counter counter_;
    std::optional<WebConfig::Tls> tls_;  // kept: the server reads the key and certificates
    std::string priorities_;
    MHD_Daemon* daemon_ = nullptr;
    std::uint64_t next_ = 1;
};

}  // namespace exporter
