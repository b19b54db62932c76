// Test certificates, made once per test process into a temporary folder that
// goes when the process ends. Each NAME.pem has its key in NAME.key:
//   ca          the test CA ("SMTP Mail Test CA")
//   server      "localhost" (DNS:localhost, IP:127.0.0.1), signed by the CA
//   wrongname   "wrong.example.com" only, signed by the CA
//   expired     as server, but its validity ended yesterday
//   selfsigned  as server, signed by itself
//   clientonly  as server, usable for client authentication only
//   revoked     as server, listed in ca-crl.pem's revocation list
// and client.pem, "SMTP Mail Test Client" with its key in the same file;
// ca-crl.pem is the test CA with its certificate revocation list.
// Keys are P-256 EC keys in PEM (PKCS #8, no password).
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
// OpenSSL's error queue as text, emptied; for the failures of test servers.
std::string OpenSslErrors();

}  // namespace testcerts
