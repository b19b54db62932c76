// The CryptoAPI certificate functions the TLS channel calls: the "MY" system
// store (opened, searched by subject common name, closed), certificate
// contexts, and the chain engine with the SSL chain policy.
//
// On Windows they are the system's own (crypt32). On POSIX a system store is
// a folder of PEM files (a file may hold a private key beside its
// certificate): the current user's "MY" store is
// $SMTPMAIL_CERT_STORE_ROOT/CurrentUser/MY and the local machine's is
// $SMTPMAIL_CERT_STORE_ROOT/LocalMachine/MY, the root defaulting to
// "SystemCertificates" under the registry stand-in's root. Chains are built by
// OpenSSL's verifier against the system trust store (its default paths, so
// SSL_CERT_FILE and SSL_CERT_DIR work as OpenSSL defines them).
#pragma once

#include <string>

#include "platform/WinTypes.h"

#if defined(_WIN32)

#include <wincrypt.h>

namespace platform {

using ::CERT_CHAIN_CONTEXT;
using ::CERT_CHAIN_PARA;
using ::CERT_CHAIN_POLICY_PARA;
using ::CERT_CHAIN_POLICY_STATUS;
using ::CERT_CONTEXT;
using ::CERT_RDN;
using ::CERT_RDN_ATTR;
using ::CERT_TRUST_STATUS;
using ::CERT_USAGE_MATCH;
using CRYPTOAPI_BLOB = ::CERT_RDN_VALUE_BLOB;
using ::HCERTCHAINENGINE;
using ::HCERTSTORE;
using ::PCCERT_CHAIN_CONTEXT;
using ::PCCERT_CONTEXT;
using ::SSL_EXTRA_CERT_CHAIN_POLICY_PARA;

using ::CertCloseStore;
using ::CertCreateCertificateContext;
using ::CertDuplicateCertificateContext;
using ::CertFindCertificateInStore;
using ::CertFreeCertificateChain;
using ::CertFreeCertificateContext;
using ::CertGetCertificateChain;
using ::CertGetNameStringW;
using ::CertOpenStore;
using ::CertOpenSystemStoreW;
using ::CertVerifyCertificateChainPolicy;

// The store name as the project's wide text.
inline HCERTSTORE CertOpenSystemStoreW(HCRYPTPROV_LEGACY hProv,
                                       const char16_t* pszSubsystemProtocol) {
    return ::CertOpenSystemStoreW(hProv, reinterpret_cast<LPCWSTR>(pszSubsystemProtocol));
}
inline DWORD CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags,
                                const void* pvTypePara, char16_t* pszNameString,
                                DWORD cchNameString) {
    return ::CertGetNameStringW(pCertContext, dwType, dwFlags, const_cast<void*>(pvTypePara),
                                reinterpret_cast<LPWSTR>(pszNameString), cchNameString);
}

}  // namespace platform

#else

constexpr DWORD X509_ASN_ENCODING = 0x00000001;
constexpr DWORD PKCS_7_ASN_ENCODING = 0x00010000;
constexpr ULONG_PTR CERT_STORE_PROV_SYSTEM_W = 10;
constexpr DWORD CERT_SYSTEM_STORE_CURRENT_USER = 0x00010000;
constexpr DWORD CERT_SYSTEM_STORE_LOCAL_MACHINE = 0x00020000;
constexpr DWORD CERT_STORE_READONLY_FLAG = 0x00008000;
constexpr DWORD CERT_FIND_ANY = 0;
constexpr DWORD CERT_FIND_SUBJECT_ATTR = 0x00030000;  // CERT_COMPARE_ATTR << CERT_COMPARE_SHIFT
// CERT_COMPARE_NAME_STR_W << CERT_COMPARE_SHIFT | CERT_INFO_SUBJECT_FLAG
constexpr DWORD CERT_FIND_SUBJECT_STR_W = 0x00080007;
constexpr DWORD CERT_RDN_ANY_TYPE = 0;
constexpr DWORD CERT_NAME_ATTR_TYPE = 3;
#define szOID_COMMON_NAME "2.5.4.3"
#define szOID_PKIX_KP_SERVER_AUTH "1.3.6.1.5.5.7.3.1"
#define szOID_PKIX_KP_CLIENT_AUTH "1.3.6.1.5.5.7.3.2"
constexpr DWORD USAGE_MATCH_TYPE_AND = 0;
constexpr DWORD CERT_TRUST_NO_ERROR = 0x00000000;
constexpr DWORD CERT_TRUST_IS_NOT_TIME_VALID = 0x00000001;
constexpr DWORD CERT_TRUST_IS_REVOKED = 0x00000004;
constexpr DWORD CERT_TRUST_IS_NOT_SIGNATURE_VALID = 0x00000008;
constexpr DWORD CERT_TRUST_IS_NOT_VALID_FOR_USAGE = 0x00000010;
constexpr DWORD CERT_TRUST_IS_UNTRUSTED_ROOT = 0x00000020;
constexpr DWORD CERT_TRUST_REVOCATION_STATUS_UNKNOWN = 0x00000040;
constexpr DWORD CERT_TRUST_IS_PARTIAL_CHAIN = 0x00010000;
constexpr DWORD CERT_TRUST_IS_OFFLINE_REVOCATION = 0x01000000;
constexpr DWORD CERT_CHAIN_REVOCATION_CHECK_END_CERT = 0x10000000;
constexpr DWORD CERT_CHAIN_REVOCATION_CHECK_CHAIN = 0x20000000;
constexpr DWORD CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT = 0x40000000;
constexpr DWORD CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT = 0x08000000;
constexpr DWORD CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS = 0x00000F00;
#define CERT_CHAIN_POLICY_SSL (reinterpret_cast<const char*>(4))
constexpr DWORD AUTHTYPE_CLIENT = 1;
constexpr DWORD AUTHTYPE_SERVER = 2;
constexpr DWORD SECURITY_FLAG_IGNORE_REVOCATION = 0x00000080;
constexpr DWORD SECURITY_FLAG_IGNORE_UNKNOWN_CA = 0x00000100;
constexpr DWORD SECURITY_FLAG_IGNORE_WRONG_USAGE = 0x00000200;
constexpr DWORD SECURITY_FLAG_IGNORE_CERT_CN_INVALID = 0x00001000;
constexpr DWORD SECURITY_FLAG_IGNORE_CERT_DATE_INVALID = 0x00002000;
constexpr DWORD CERT_E_EXPIRED = 0x800B0101;
constexpr DWORD CERT_E_UNTRUSTEDROOT = 0x800B0109;
constexpr DWORD CERT_E_CHAINING = 0x800B010A;
constexpr DWORD CERT_E_CN_NO_MATCH = 0x800B010F;
constexpr DWORD CERT_E_WRONG_USAGE = 0x800B0110;
constexpr DWORD TRUST_E_CERT_SIGNATURE = 0x80096004;
constexpr DWORD CRYPT_E_REVOKED = 0x80092010;
constexpr DWORD CRYPT_E_NO_REVOCATION_CHECK = 0x80092012;
constexpr DWORD CRYPT_E_REVOCATION_OFFLINE = 0x80092013;
constexpr DWORD CRYPT_E_NOT_FOUND = 0x80092004;
constexpr DWORD E_INVALIDARG = 0x80070057;

namespace platform {

using HCERTSTORE = void*;
using HCERTCHAINENGINE = void*;

// A certificate as the store and the TLS package hand it out: its DER bytes
// and the store it came from (for a server certificate, a store holding the
// chain the server sent). The backend keeps its own data behind it.
struct CERT_CONTEXT {
    DWORD dwCertEncodingType;
    const BYTE* pbCertEncoded;
    DWORD cbCertEncoded;
    void* pCertInfo;  // not decoded here; always null
    HCERTSTORE hCertStore;
};
using PCCERT_CONTEXT = const CERT_CONTEXT*;

// Store providers and flags of CertOpenStore.

// CertFindCertificateInStore by subject attributes.

struct CRYPTOAPI_BLOB {
    DWORD cbData;
    BYTE* pbData;
};

struct CERT_RDN_ATTR {
    const char* pszObjId;
    DWORD dwValueType;
    CRYPTOAPI_BLOB Value;
};

struct CERT_RDN {
    DWORD cRDNAttr;
    CERT_RDN_ATTR* rgRDNAttr;
};

HCERTSTORE CertOpenSystemStoreW(ULONG_PTR hProv, const char16_t* pszSubsystemProtocol);
HCERTSTORE CertOpenStore(ULONG_PTR lpszStoreProvider, DWORD dwEncodingType, ULONG_PTR hCryptProv,
                         DWORD dwFlags, const void* pvPara);
BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);
// Returns the next matching certificate after pPrevCertContext (which it
// frees), or null with the last error CRYPT_E_NOT_FOUND. CERT_FIND_SUBJECT_STR_W
// matches a wide text anywhere in the subject's values, in any case.
PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                          DWORD dwFindFlags, DWORD dwFindType,
                                          const void* pvFindPara, PCCERT_CONTEXT pPrevCertContext);
PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext);
// CERT_NAME_ATTR_TYPE with an attribute's object identifier (pvTypePara): its
// first value in the subject. Returns the characters written with the NUL.
DWORD CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags,
                         const void* pvTypePara, char16_t* pszNameString, DWORD cchNameString);
BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);
// A context for DER bytes, in a store of its own (for tests and tools).
PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                            DWORD cbCertEncoded);

// The chain engine and the SSL policy, in the shape of the CryptoAPI calls.
struct CERT_ENHKEY_USAGE {
    DWORD cUsageIdentifier;
    char** rgpszUsageIdentifier;
};

struct CERT_USAGE_MATCH {
    DWORD dwType;
    CERT_ENHKEY_USAGE Usage;
};

// The fields of CERT_CHAIN_PARA_HAS_EXTRA_FIELDS up to the one the stand-in
// reads besides the usage: no URL is ever retrieved here.
struct CERT_CHAIN_PARA {
    DWORD cbSize;
    CERT_USAGE_MATCH RequestedUsage;
    CERT_USAGE_MATCH RequestedIssuancePolicy;
    DWORD dwUrlRetrievalTimeout;
};

// The chain's trust problems, as CERT_TRUST_STATUS.dwErrorStatus bits.

struct CERT_TRUST_STATUS {
    DWORD dwErrorStatus;
    DWORD dwInfoStatus;
};

struct CERT_CHAIN_CONTEXT {
    DWORD cbSize;
    CERT_TRUST_STATUS TrustStatus;
};
using PCCERT_CHAIN_CONTEXT = const CERT_CHAIN_CONTEXT*;

// CertVerifyCertificateChainPolicy with the SSL policy.

// fdwChecks bits that waive one check each.

struct SSL_EXTRA_CERT_CHAIN_POLICY_PARA {
    DWORD cbSize;
    DWORD dwAuthType;
    DWORD fdwChecks;
    const char16_t* pwszServerName;
};

struct CERT_CHAIN_POLICY_PARA {
    DWORD cbSize;
    DWORD dwFlags;
    void* pvExtraPolicyPara;
};

struct CERT_CHAIN_POLICY_STATUS {
    DWORD cbSize;
    DWORD dwError;
    LONG lChainIndex;
    LONG lElementIndex;
    void* pvExtraPolicyStatus;
};

// The errors the SSL policy reports.

// pTime null: now. hAdditionalStore: untrusted intermediates (the server's own
// chain). The requested usage (server or client authentication) is checked
// when asked for; the CERT_CHAIN_REVOCATION_CHECK_* flags check revocation
// against the certificate revocation lists of the trust store (a CRL in
// SSL_CERT_FILE, or in SSL_CERT_DIR as OpenSSL names them), and a
// certificate without one has its status unknown. Fails only for bad
// arguments or when OpenSSL cannot run at all.
BOOL CertGetCertificateChain(HCERTCHAINENGINE hChainEngine, PCCERT_CONTEXT pCertContext,
                             const void* pTime, HCERTSTORE hAdditionalStore,
                             const CERT_CHAIN_PARA* pChainPara, DWORD dwFlags, void* pvReserved,
                             PCCERT_CHAIN_CONTEXT* ppChainContext);
void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext);
// Answers TRUE with pPolicyStatus->dwError 0 or the first failing check that
// fdwChecks (or, for unknown revocation, dwFlags) does not waive; FALSE only
// for a policy it does not know.
BOOL CertVerifyCertificateChainPolicy(const char* pszPolicyOID, PCCERT_CHAIN_CONTEXT pChainContext,
                                      const CERT_CHAIN_POLICY_PARA* pPolicyPara,
                                      CERT_CHAIN_POLICY_STATUS* pPolicyStatus);

// The whole server-certificate check in one call, as the TLS channel asks for
// it: chain, trust, dates, revocation (unknown status waived), server
// usage and host name (dwCertFlags waiving as fdwChecks does). 0 or the
// policy error.
DWORD VerifyServerCertificate(PCCERT_CONTEXT pServerCert, const char16_t* pszServerName,
                              DWORD dwCertFlags);

// The folder of a system store on this platform ("MY" of the current user or
// of the local machine).
std::string SystemStoreFolder(const char16_t* pszStoreName, bool bLocalMachine);

}  // namespace platform

#endif
