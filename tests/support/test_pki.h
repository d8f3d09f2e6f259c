// SPDX-License-Identifier: Apache-2.0
// Certificates for tests of TLS lines, made with the openssl command in a folder of the
// test's: a CA and, signed by it, a console server's certificate for localhost, 127.0.0.1
// and ::1, an expired one, one for another name, and a client's certificate with its key
// (also as a key that needs a passphrase); besides, a certificate for localhost that signs
// itself, and a client certificate from another CA.
#pragma once

#include <string>

namespace qftest {

struct TestPki {
    // Throws std::runtime_error when openssl fails.
    explicit TestPki(const std::string& dir);

    std::string ca;
    std::string server;  // localhost, 127.0.0.1, ::1
    std::string serverKey;
    std::string expired;     // the same names, valid for a day in 2020
    std::string misnamed;    // other.example only
    std::string selfSigned;  // localhost, signed by its own key
    std::string selfSignedKey;
    std::string client;
    std::string clientKey;
    std::string lockedClientKey;  // clientKey, needing the passphrase "secret"
    std::string strangerClient;   // signed by another CA
    std::string strangerClientKey;
};

}  // namespace qftest
