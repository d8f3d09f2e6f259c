// SPDX-License-Identifier: Apache-2.0
#include "test_pki.h"

#include "test_sshd.h"

namespace qftest {

TestPki::TestPki(const std::string& dir) : d(dir + "/") {
    // `openssl ca` for the expired certificate: `x509 -req` takes no start date.
    shell("cd " + d + R"( && exec >openssl.log 2>&1 && set -e
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1"; }
ca() { key "$1.key"; openssl req -x509 -new -key "$1.key" -days 3650 -subj "/CN=$2" -out "$1.pem"; }
csr() { openssl req -new -key "$1" -subj "/CN=$2" -out "$3"; }
sign() { openssl x509 -req -days 3650 -CA "$1.pem" -CAkey "$1.key" -CAcreateserial -in "$2" -extfile "$3" -out "$4"; }
echo 'subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1
extendedKeyUsage=serverAuth' >server.ext
echo subjectAltName=DNS:other.example >misnamed.ext
echo extendedKeyUsage=clientAuth >client.ext
printf '[ca]\ndefault_ca = t\n[t]\ndatabase = index\nnew_certs_dir = .\nserial = serial\n' >ca.cnf
printf 'default_md = sha256\npolicy = any\n[any]\ncommonName = supplied\n' >>ca.cnf
: >index && echo 01 >serial
ca ca Test-CA && ca other-ca Other-CA
key server.key && csr server.key localhost server.csr && sign ca server.csr server.ext server.pem
openssl ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -startdate 20200101000000Z \
  -enddate 20200102000000Z -extfile server.ext -in server.csr -out expired.pem
csr server.key other.example misnamed.csr && sign ca misnamed.csr misnamed.ext misnamed.pem
key self.key && openssl req -x509 -new -key self.key -days 3650 -subj /CN=localhost \
  -addext subjectAltName=DNS:localhost,IP:127.0.0.1 -out self.pem
key client.key && csr client.key controller client.csr && sign ca client.csr client.ext client.pem
openssl pkey -in client.key -aes256 -passout pass:secret -out locked.key
key stranger.key && csr stranger.key stranger stranger.csr
sign other-ca stranger.csr client.ext stranger.pem
)");
}

}  // namespace qftest
