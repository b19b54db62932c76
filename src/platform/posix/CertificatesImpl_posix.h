// What a certificate context and a store are inside the POSIX backend: shared
// by the certificate functions and the TLS package.
#pragma once

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/Certificates.h"

namespace platform {

struct StoredCert {
    X509* cert;
    EVP_PKEY* key;  // null unless the store's file held the matching private key
};

// A store: the certificates of one folder, or the chain a server sent.
struct CertStoreImpl {
    ~CertStoreImpl();
    std::atomic<int> refs{1};
    std::string folder;
    std::vector<StoredCert> certs;
};

struct CertContextImpl : CERT_CONTEXT {
    std::atomic<int> refs{1};
    X509* x509 = nullptr;
    EVP_PKEY* key = nullptr;
    size_t indexInStore = 0;
};

// A context for a server certificate whose store holds the chain it came with.
PCCERT_CONTEXT NewCertContext(X509* cert, STACK_OF(X509) * chain);
X509* CertX509(PCCERT_CONTEXT context);
EVP_PKEY* CertPrivateKey(PCCERT_CONTEXT context);
std::vector<std::string> CertCommonNames(PCCERT_CONTEXT context);
// True for an IPv4 or IPv6 literal (out16 receives its bytes when not null).
bool inet_pton_any(const char* text, unsigned char* out16);

}  // namespace platform
