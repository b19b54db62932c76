// Certificates for the SMTP test servers, made once per test program in a
// folder of its own: a test CA and a server certificate it signed for
// localhost only, so that 127.0.0.1 is a name mismatch (P-256 keys, valid from yesterday for 30 days).
// Clients trust the CA through OpenSSL's SSL_CERT_FILE.
#pragma once

#include <string>

namespace SmtpTestCertificates {

// PEM files; empty paths when they could not be made.
std::string CaFile();
std::string ServerCertFile();
std::string ServerKeyFile();

}  // namespace SmtpTestCertificates
