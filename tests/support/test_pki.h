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

    std::string d;  // the folder, with a slash
    std::string ca = d + "ca.pem";
    std::string server = d + "server.pem";  // localhost, 127.0.0.1, ::1
    std::string serverKey = d + "server.key";
    std::string expired = d + "expired.pem";    // the same names, valid for a day in 2020
    std::string misnamed = d + "misnamed.pem";  // other.example only
    std::string selfSigned = d + "self.pem";    // localhost, signed by its own key
    std::string selfSignedKey = d + "self.key";
    std::string client = d + "client.pem";
    std::string clientKey = d + "client.key";
    std::string lockedClientKey = d + "locked.key";   // clientKey, needing the passphrase "secret"
    std::string strangerClient = d + "stranger.pem";  // signed by another CA
    std::string strangerClientKey = d + "stranger.key";
};

}  // namespace qftest
