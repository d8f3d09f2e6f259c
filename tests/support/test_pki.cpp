// SPDX-License-Identifier: Apache-2.0
#include "test_pki.h"

#include <fstream>

#include "test_sshd.h"

namespace qftest {

TestPki::TestPki(const std::string& dir) {
    const std::string d = dir + "/";
    ca = d + "ca.pem";
    server = d + "server.pem";
    serverKey = d + "server.key";
    expired = d + "expired.pem";
    misnamed = d + "misnamed.pem";
    selfSigned = d + "self.pem";
    selfSignedKey = d + "self.key";
    client = d + "client.pem";
    clientKey = d + "client.key";
    lockedClientKey = d + "locked.key";
    strangerClient = d + "stranger.pem";
    strangerClientKey = d + "stranger.key";
    std::ofstream(d + "server.ext")
        << "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1\nextendedKeyUsage=serverAuth\n";
    std::ofstream(d + "misnamed.ext") << "subjectAltName=DNS:other.example\n";
    std::ofstream(d + "client.ext") << "extendedKeyUsage=clientAuth\n";
    // `openssl ca` for the expired certificate: `x509 -req` takes no start date.
    std::ofstream(d + "ca.cnf") << "[ca]\ndefault_ca = test\n[test]\ndatabase = " << d
                                << "index\nnew_certs_dir = " << d << "\nserial = " << d
                                << "serial\ndefault_md = sha256\npolicy = any\n"
                                << "[any]\ncommonName = supplied\n";
    const std::string key = "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ";
    const std::string sign =
        "openssl x509 -req -days 3650 -CA " + ca + " -CAkey " + d + "ca.key -CAcreateserial ";
    shell(
        "set -e; exec >" + d + "openssl.log 2>&1; cd " + d + "; : >index; echo 01 >serial; " +
        // The CAs.
        key + "ca.key; openssl req -x509 -new -key ca.key -days 3650 -subj /CN=Test-CA -out " + ca +
        "; " + key +
        "other-ca.key; openssl req -x509 -new -key other-ca.key -days 3650 -subj "
        "/CN=Other-CA -out other-ca.pem; " +
        // The console server's certificates.
        key + serverKey + "; openssl req -new -key " + serverKey +
        " -subj /CN=localhost -out server.csr; " + sign +
        "-in server.csr -extfile server.ext -out " + server +
        "; openssl ca -batch -config ca.cnf -cert " + ca +
        " -keyfile ca.key -startdate 20200101000000Z -enddate 20200102000000Z -extfile "
        "server.ext -in server.csr -out " +
        expired + "; openssl req -new -key " + serverKey +
        " -subj /CN=other.example -out misnamed.csr; " + sign +
        "-in misnamed.csr -extfile misnamed.ext -out " + misnamed + "; " + key + selfSignedKey +
        "; openssl req -x509 -new -key " + selfSignedKey +
        " -days 3650 -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1 -out " +
        selfSigned + "; " +
        // The clients'.
        key + clientKey + "; openssl req -new -key " + clientKey +
        " -subj /CN=controller -out client.csr; " + sign +
        "-in client.csr -extfile client.ext -out " + client + "; openssl pkey -in " + clientKey +
        " -aes256 -passout pass:secret -out " + lockedClientKey + "; " + key + strangerClientKey +
        "; openssl req -new -key " + strangerClientKey +
        " -subj /CN=stranger -out stranger.csr; openssl x509 -req -days 3650 -CA other-ca.pem "
        "-CAkey other-ca.key -CAcreateserial -in stranger.csr -extfile client.ext -out " +
        strangerClient);
}

}  // namespace qftest
