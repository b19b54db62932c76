#include "TestCertificates.h"

#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <stdexcept>

namespace testcerts {

namespace {

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (ext == nullptr)
        throw std::runtime_error(std::string("bad extension ") + value);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

// A certificate for subject CN, valid from notBeforeDays to notAfterDays
// (relative to now), signed by issuer/issuerKey (itself when null).
X509* MakeCert(const char* cn, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey, long notBeforeDays,
               long notAfterDays, bool ca, const char* san, const char* eku, long serial) {
    if (key == nullptr)
        throw std::runtime_error("EC key generation failed");
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), notBeforeDays * 86400L);
    X509_gmtime_adj(X509_getm_notAfter(cert), notAfterDays * 86400L);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("SMTP Mail Tests"), -1, -1,
                               0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn),
                               -1, -1, 0);
    X509* signer = issuer != nullptr ? issuer : cert;
    X509_set_issuer_name(cert, X509_get_subject_name(signer));
    AddExtension(cert, signer, NID_subject_key_identifier, "hash");
    if (issuer != nullptr)
        AddExtension(cert, signer, NID_authority_key_identifier, "keyid:always");
    if (ca) {
        AddExtension(cert, signer, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        AddExtension(cert, signer, NID_basic_constraints, "critical,CA:FALSE");
        AddExtension(cert, signer, NID_key_usage, "critical,digitalSignature,keyEncipherment");
        if (eku != nullptr)
            AddExtension(cert, signer, NID_ext_key_usage, eku);
        if (san != nullptr)
            AddExtension(cert, signer, NID_subject_alt_name, san);
    }
    if (X509_sign(cert, issuerKey != nullptr ? issuerKey : key, EVP_sha256()) == 0)
        throw std::runtime_error("signing failed");
    return cert;
}

void WritePem(const std::string& path, X509* cert, EVP_PKEY* key) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr)
        throw std::runtime_error("cannot write " + path);
    if (cert != nullptr)
        PEM_write_X509(f, cert);
    if (key != nullptr)
        PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(f);
}

// The CA and its revocation list, which names the certificate revoked.
void WriteCaWithCrl(const std::string& path, X509* ca, EVP_PKEY* caKey, X509* revoked) {
    X509_CRL* crl = X509_CRL_new();
    X509_CRL_set_version(crl, 1);
    X509_CRL_set_issuer_name(crl, X509_get_subject_name(ca));
    ASN1_TIME* lastUpdate = X509_gmtime_adj(nullptr, -86400L);
    ASN1_TIME* nextUpdate = X509_gmtime_adj(nullptr, 30 * 86400L);
    X509_CRL_set1_lastUpdate(crl, lastUpdate);
    X509_CRL_set1_nextUpdate(crl, nextUpdate);
    X509_REVOKED* entry = X509_REVOKED_new();
    X509_REVOKED_set_serialNumber(entry, X509_get_serialNumber(revoked));
    X509_REVOKED_set_revocationDate(entry, lastUpdate);
    X509_CRL_add0_revoked(crl, entry);
    X509_CRL_sort(crl);
    if (X509_CRL_sign(crl, caKey, EVP_sha256()) == 0)
        throw std::runtime_error("signing the revocation list failed");
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr)
        throw std::runtime_error("cannot write " + path);
    PEM_write_X509(f, ca);
    PEM_write_X509_CRL(f, crl);
    std::fclose(f);
    ASN1_TIME_free(lastUpdate);
    ASN1_TIME_free(nextUpdate);
    X509_CRL_free(crl);
}

struct CertFolder {
    CertFolder() {
        const char* tmp = std::getenv("TMPDIR");
        path = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/smtpmail-test-certs-" +
               std::to_string(::getpid());
        std::filesystem::create_directories(path);
        std::filesystem::create_directories(path + "/empty");

        const char* serverSan = "DNS:localhost,IP:127.0.0.1";
        EVP_PKEY* caKey = EVP_EC_gen("P-256");
        X509* ca = MakeCert("SMTP Mail Test CA", caKey, nullptr, nullptr, -1, 3650, true, nullptr,
                            nullptr, 1);
        WritePem(path + "/ca.pem", ca, nullptr);
        WritePem(path + "/ca.key", nullptr, caKey);

        struct Leaf {
            const char* file;
            const char* cn;
            bool selfSigned;
            long from;
            long to;
            const char* san;
            const char* eku;
        } leaves[] = {
            {"server", "localhost", false, -1, 825, serverSan, "serverAuth"},
            {"wrongname", "wrong.example.com", false, -1, 825, "DNS:wrong.example.com",
             "serverAuth"},
            {"expired", "localhost", false, -30, -1, serverSan, "serverAuth"},
            {"selfsigned", "localhost", true, -1, 825, serverSan, "serverAuth"},
            {"clientonly", "localhost", false, -1, 825, serverSan, "clientAuth"},
            {"revoked", "localhost", false, -1, 825, serverSan, "serverAuth"},
        };
        long serial = 2;
        for (const Leaf& leaf : leaves) {
            EVP_PKEY* key = EVP_EC_gen("P-256");
            X509* cert = MakeCert(leaf.cn, key, leaf.selfSigned ? nullptr : ca,
                                  leaf.selfSigned ? nullptr : caKey, leaf.from, leaf.to, false,
                                  leaf.san, leaf.eku, serial++);
            WritePem(path + "/" + leaf.file + ".pem", cert, nullptr);
            WritePem(path + "/" + leaf.file + ".key", nullptr, key);
            if (std::string(leaf.file) == "revoked")
                WriteCaWithCrl(path + "/ca-crl.pem", ca, caKey, cert);
            X509_free(cert);
            EVP_PKEY_free(key);
        }
        EVP_PKEY* clientKey = EVP_EC_gen("P-256");
        X509* client = MakeCert("SMTP Mail Test Client", clientKey, ca, caKey, -1, 825, false,
                                nullptr, "clientAuth", serial++);
        WritePem(path + "/client.pem", client, clientKey);
        X509_free(client);
        EVP_PKEY_free(clientKey);
        X509_free(ca);
        EVP_PKEY_free(caKey);
    }
    ~CertFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string path;
};

}  // namespace

const std::string& Folder() {
    static CertFolder folder;
    return folder.path;
}

std::string Path(const std::string& name) {
    return Folder() + "/" + name;
}

std::string OpenSslErrors() {
    std::string text;
    while (unsigned long e = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(e, buffer, sizeof buffer);
        text += (text.empty() ? "" : "; ") + std::string(buffer);
    }
    return text.empty() ? "no OpenSSL error queued" : text;
}

void TrustTestCA() {
    setenv("SSL_CERT_FILE", Path("ca.pem").c_str(), 1);
    setenv("SSL_CERT_DIR", Path("empty").c_str(), 1);
}

}  // namespace testcerts
