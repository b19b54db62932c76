#include "SmtpTestCertificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>

namespace {

struct Files {
    std::string folder, ca, cert, key;
    ~Files() {
        if (folder.empty())
            return;
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
};

bool AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (ext == nullptr)
        return false;
    const bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

X509* MakeCertificate(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey,
                      long serial) {
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), -24L * 3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 30L * 24 * 3600);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509_set_issuer_name(cert, issuer != nullptr ? X509_get_subject_name(issuer) : name);
    X509_set_pubkey(cert, key);
    X509* signer = issuer != nullptr ? issuer : cert;
    bool ok;
    if (issuer == nullptr) {
        ok = AddExtension(cert, signer, NID_basic_constraints, "critical,CA:TRUE") &&
             AddExtension(cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign") &&
             AddExtension(cert, signer, NID_subject_key_identifier, "hash");
    } else {
        ok = AddExtension(cert, signer, NID_basic_constraints, "CA:FALSE") &&
             AddExtension(cert, signer, NID_key_usage,
                          "critical,digitalSignature,keyEncipherment") &&
             AddExtension(cert, signer, NID_ext_key_usage, "serverAuth") &&
             AddExtension(cert, signer, NID_subject_alt_name, "DNS:localhost") &&
             AddExtension(cert, signer, NID_authority_key_identifier, "keyid");
    }
    if (!ok || X509_sign(cert, issuer != nullptr ? issuerKey : key, EVP_sha256()) == 0) {
        X509_free(cert);
        return nullptr;
    }
    return cert;
}

bool WritePem(const std::string& path, X509* cert, EVP_PKEY* key) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr)
        return false;
    bool ok = cert != nullptr
                  ? PEM_write_X509(f, cert) == 1
                  : PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    ok = std::fclose(f) == 0 && ok;
    return ok;
}

const Files& Make() {
    static Files files;
    static std::once_flag once;
    std::call_once(once, [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string folder =
            std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/smtp-test-certs-XXXXXX";
        if (mkdtemp(folder.data()) == nullptr)
            return;
        files.folder = folder;
        EVP_PKEY* caKey = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
        EVP_PKEY* serverKey = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
        X509* ca = caKey != nullptr
                       ? MakeCertificate(caKey, "smtpmail test CA", nullptr, nullptr, 1)
                       : nullptr;
        X509* server = ca != nullptr && serverKey != nullptr
                           ? MakeCertificate(serverKey, "localhost", ca, caKey, 2)
                           : nullptr;
        if (server != nullptr && WritePem(folder + "/ca.pem", ca, nullptr) &&
            WritePem(folder + "/server.pem", server, nullptr) &&
            WritePem(folder + "/server.key", nullptr, serverKey)) {
            files.ca = folder + "/ca.pem";
            files.cert = folder + "/server.pem";
            files.key = folder + "/server.key";
        }
        X509_free(server);
        X509_free(ca);
        EVP_PKEY_free(serverKey);
        EVP_PKEY_free(caKey);
    });
    return files;
}

}  // namespace

namespace SmtpTestCertificates {

std::string CaFile() {
    return Make().ca;
}
std::string ServerCertFile() {
    return Make().cert;
}
std::string ServerKeyFile() {
    return Make().key;
}

}  // namespace SmtpTestCertificates
