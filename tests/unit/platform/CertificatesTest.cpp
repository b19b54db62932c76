#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Environment.h"
#include "LogCapture.h"
#include "ScratchDir.h"
#include "platform/Certificates.h"
#include "platform/LastError.h"
#include "platform/Sspi.h"

using namespace platform;

namespace {

// The certificate of the PEM file against the host name with the waivers.
DWORD Check(const std::string& name, const char16_t* host, DWORD flags) {
    BIO* file = BIO_new_file(TestCertificate(name).c_str(), "r");
    X509* x509 = file != nullptr ? PEM_read_bio_X509(file, nullptr, nullptr, nullptr) : nullptr;
    unsigned char* der = nullptr;
    const int len = x509 != nullptr ? i2d_X509(x509, &der) : 0;
    PCCERT_CONTEXT cert =
        CertCreateCertificateContext(X509_ASN_ENCODING, der, static_cast<DWORD>(std::max(len, 0)));
    OPENSSL_free(der), X509_free(x509), BIO_free(file);
    EXPECT_NE(cert, nullptr) << name;
    const DWORD result = VerifyServerCertificate(cert, host, flags);
    CertFreeCertificateContext(cert);
    return result;
}

class CertificatesTest : public ::testing::Test {
protected:
    void SetUp() override { TrustTestCa(); }
    void TearDown() override { TrustTestCa(); }
};

}  // namespace

// The wrong name, the expired and the self-signed certificate with their
// waivers, and an address as the host name, are the send tests' rows.
TEST_F(CertificatesTest, EachFailureHasItsOwnCodeAndIgnoreBit) {
    EXPECT_EQ(Check("server.pem", u"127.0.0.2", 0), CERT_E_CN_NO_MATCH);
    EXPECT_EQ(Check("server.pem", u"sub.localhost", 0), CERT_E_CN_NO_MATCH);
    EXPECT_EQ(Check("wrongname.pem", u"WRONG.example.COM", 0), 0u);
    EXPECT_EQ(Check("clientonly.pem", u"localhost", 0), CERT_E_WRONG_USAGE);
    EXPECT_EQ(Check("clientonly.pem", u"localhost", SECURITY_FLAG_IGNORE_WRONG_USAGE), 0u);
    // Waiving one check leaves the others.
    EXPECT_EQ(Check("expired.pem", u"elsewhere", SECURITY_FLAG_IGNORE_CERT_DATE_INVALID),
              CERT_E_CN_NO_MATCH);
    EXPECT_EQ(Check("selfsigned.pem", u"localhost", SECURITY_FLAG_IGNORE_CERT_CN_INVALID),
              CERT_E_UNTRUSTEDROOT);
    EXPECT_EQ(Check("server.pem", u"localhost", SECURITY_FLAG_IGNORE_REVOCATION), 0u);
    // With a trust store that lacks the test CA, the CA-signed certificate
    // leads nowhere, and the CA itself is an untrusted root.
    ScratchDir scratch;
    std::string empty = scratch.File("none.pem");
    std::ofstream(empty).close();
    setenv("SSL_CERT_FILE", empty.c_str(), 1);
    EXPECT_EQ(Check("server.pem", u"localhost", 0), CERT_E_CHAINING);
    EXPECT_EQ(Check("server.pem", u"localhost", SECURITY_FLAG_IGNORE_UNKNOWN_CA), 0u);
    EXPECT_EQ(Check("ca.pem", u"SMTP Mail Test CA",
                    SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_WRONG_USAGE),
              CERT_E_UNTRUSTEDROOT);
}

TEST_F(CertificatesTest, RevocationListsOfTheTrustStoreAreChecked) {
    // Without a list the status is unknown, which the check waives.
    EXPECT_EQ(Check("revoked.pem", u"localhost", 0), 0u);
    setenv("SSL_CERT_FILE", TestCertificate("ca-crl.pem").c_str(), 1);
    EXPECT_EQ(Check("revoked.pem", u"localhost", 0), CRYPT_E_REVOKED);
    EXPECT_EQ(Check("revoked.pem", u"localhost", SECURITY_FLAG_IGNORE_REVOCATION), 0u);
    EXPECT_EQ(Check("server.pem", u"localhost", 0), 0u) << "not on the list";
}

// Which client certificate is taken is TSMTPSSLSocketTest's.
TEST_F(CertificatesTest, MyStoreIsAFolderOfPemFiles) {
    ScratchDir scratch;
    std::string root = scratch.File("stores");
    setenv("SMTPMAIL_CERT_STORE_ROOT", root.c_str(), 1);
    // Names that would leave the stores' folder are refused.
    for (const char16_t* name : {u"..", u".", u"a/b", u"a\\b", u""}) {
        EXPECT_EQ(CertOpenSystemStoreW(0, name), nullptr) << ToUtf8(name);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    }
    // The machine's store is opened read-only and is not made when missing.
    EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING, 0,
                            CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG, u"MY"),
              nullptr);
    // The user's is made on first use, also by threads at the same moment.
    HCERTSTORE store = CertOpenSystemStoreW(0, u"MY");
    ASSERT_NE(store, nullptr);
    EXPECT_TRUE(std::filesystem::is_directory(root + "/CurrentUser/MY"));
    CertCloseStore(store, 0);
    for (int round = 0; round < 50; ++round) {
        const std::u16string name = u"Fresh" + FromUtf8(std::to_string(round));
        std::atomic<int> opened{0}, ready{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; ++i)
            threads.emplace_back([&] {
                for (++ready; ready < 8;)
                    std::this_thread::yield();
                HCERTSTORE fresh = CertOpenSystemStoreW(0, name.c_str());
                opened += fresh != nullptr;
                CertCloseStore(fresh, 0);
            });
        for (std::thread& t : threads)
            t.join();
        EXPECT_EQ(opened, 8) << "round " << round;
    }
    unsetenv("SMTPMAIL_CERT_STORE_ROOT");
}
