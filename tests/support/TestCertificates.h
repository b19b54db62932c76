// Test certificates, made once per test process into a temporary folder that
// goes when the process ends:
//
//   ca.pem / ca.key                  the test CA ("SMTP Mail Test CA")
//   server.pem / server.key          "localhost", SAN DNS:localhost and IP:127.0.0.1, signed by the
//   CA wrongname.pem / wrongname.key    "wrong.example.com" only, signed by the CA expired.pem /
//   expired.key        "localhost" as server.pem, but its validity ended yesterday selfsigned.pem /
//   selfsigned.key  "localhost" as server.pem, signed by itself clientonly.pem / clientonly.key
//   "localhost" as server.pem, usable for client authentication only client.pem "SMTP Mail Test
//   Client" certificate and its key in one file
//
// Keys are P-256 EC keys in PEM (PKCS #8, no password). The same set comes
// from tests/support/make-test-certs.py OUTDIR for Python tests.
#pragma once

#include <string>

namespace testcerts {

// The folder holding the files above (made at the first call).
const std::string& Folder();
// Folder() + "/" + name.
std::string Path(const std::string& name);
// Makes OpenSSL's default trust store the test CA alone for this process
// (SSL_CERT_FILE = ca.pem, SSL_CERT_DIR = an empty folder).
void TrustTestCA();

}  // namespace testcerts
