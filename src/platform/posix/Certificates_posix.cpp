// Certificate stores, contexts and the SSL chain policy over OpenSSL.
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Certificates.h"
#include "platform/LastError.h"
#include "platform/Registry.h"
#include "platform/Utf.h"
#include "platform/posix/CertificatesImpl_posix.h"

namespace platform {

namespace {

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

// ----- stores -------------------------------------------------------------

void ReleaseStore(CertStoreImpl* store) {
    if (store != nullptr && store->refs.fetch_sub(1) == 1)
        delete store;
}

void AddRef(CertStoreImpl* store) {
    if (store != nullptr)
        store->refs.fetch_add(1);
}

// Reads every certificate of a PEM file, with the file's private key (if it
// holds one) given to the first certificate whose public key matches it.
void LoadPemFile(const std::string& path, CertStoreImpl& store) {
    BIO* bio = BIO_new_file(path.c_str(), "r");
    if (bio == nullptr) {
        ERR_clear_error();
        return;
    }
    std::vector<X509*> certs;
    EVP_PKEY* key = nullptr;
    STACK_OF(X509_INFO)* infos = PEM_X509_INFO_read_bio(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (infos != nullptr) {
        for (int i = 0; i < sk_X509_INFO_num(infos); ++i) {
            X509_INFO* info = sk_X509_INFO_value(infos, i);
            if (info->x509 != nullptr) {
                X509_up_ref(info->x509);
                certs.push_back(info->x509);
            }
            if (info->x_pkey != nullptr && info->x_pkey->dec_pkey != nullptr && key == nullptr) {
                key = info->x_pkey->dec_pkey;
                EVP_PKEY_up_ref(key);
            }
        }
        sk_X509_INFO_pop_free(infos, X509_INFO_free);
    }
    ERR_clear_error();
    for (X509* cert : certs) {
        StoredCert entry{cert, nullptr};
        if (key != nullptr && X509_check_private_key(cert, key) == 1) {
            entry.key = key;
            EVP_PKEY_up_ref(key);
        }
        store.certs.push_back(entry);
    }
    ERR_clear_error();
    EVP_PKEY_free(key);
}

void LoadFolder(const std::string& folder, CertStoreImpl& store) {
    std::error_code ec;
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        if (!entry.is_regular_file(ec))
            continue;
        std::string ext = entry.path().extension().string();
        for (char& c : ext)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (ext == ".pem" || ext == ".crt" || ext == ".cer")
            files.push_back(entry.path().string());
    }
    // A stable order, so that "the first certificate" means the same every time.
    std::sort(files.begin(), files.end());
    for (const std::string& f : files)
        LoadPemFile(f, store);
}

std::string StoreRoot() {
    if (const char* env = std::getenv("SMTPMAIL_CERT_STORE_ROOT"); env != nullptr && *env != 0)
        return env;
    return GetRegistryRoot() + "/SystemCertificates";
}

// ----- contexts -----------------------------------------------------------

CertContextImpl* NewContext(X509* cert, EVP_PKEY* key, CertStoreImpl* store) {
    unsigned char* der = nullptr;
    int len = i2d_X509(cert, &der);
    if (len <= 0) {
        ERR_clear_error();
        return nullptr;
    }
    auto* ctx = new CertContextImpl();
    ctx->dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    ctx->pbCertEncoded = der;
    ctx->cbCertEncoded = static_cast<DWORD>(len);
    ctx->pCertInfo = nullptr;
    ctx->hCertStore = store;
    ctx->x509 = cert;
    X509_up_ref(cert);
    ctx->key = key;
    if (key != nullptr)
        EVP_PKEY_up_ref(key);
    AddRef(store);
    return ctx;
}

CertContextImpl* Impl(PCCERT_CONTEXT p) {
    return static_cast<CertContextImpl*>(const_cast<CERT_CONTEXT*>(p));
}

// The subject's common names, as UTF-8.
std::vector<std::string> CommonNames(X509* cert) {
    std::vector<std::string> names;
    X509_NAME* subject = X509_get_subject_name(cert);
    for (int i = -1; (i = X509_NAME_get_index_by_NID(subject, NID_commonName, i)) >= 0;) {
        ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, i));
        unsigned char* utf8 = nullptr;
        int len = ASN1_STRING_to_UTF8(&utf8, value);
        if (len >= 0) {
            names.emplace_back(reinterpret_cast<char*>(utf8), static_cast<size_t>(len));
            OPENSSL_free(utf8);
        }
    }
    return names;
}

bool MatchesSubjectAttributes(X509* cert, const CERT_RDN* rdn) {
    X509_NAME* subject = X509_get_subject_name(cert);
    for (DWORD i = 0; i < rdn->cRDNAttr; ++i) {
        const CERT_RDN_ATTR& attr = rdn->rgRDNAttr[i];
        if (attr.pszObjId == nullptr)
            return false;
        ASN1_OBJECT* oid = OBJ_txt2obj(attr.pszObjId, 1);
        if (oid == nullptr) {
            ERR_clear_error();
            return false;
        }
        // The caller may count the terminating NUL in the value's length.
        std::string wanted(reinterpret_cast<const char*>(attr.Value.pbData), attr.Value.cbData);
        while (!wanted.empty() && wanted.back() == '\0')
            wanted.pop_back();
        bool found = false;
        for (int k = -1; !found && (k = X509_NAME_get_index_by_OBJ(subject, oid, k)) >= 0;) {
            ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, k));
            unsigned char* utf8 = nullptr;
            int len = ASN1_STRING_to_UTF8(&utf8, value);
            if (len >= 0) {
                found =
                    std::string(reinterpret_cast<char*>(utf8), static_cast<size_t>(len)) == wanted;
                OPENSSL_free(utf8);
            }
        }
        ASN1_OBJECT_free(oid);
        if (!found)
            return false;
    }
    return true;
}

// The subject's values joined with ", " (CERT_SIMPLE_NAME_STR), in UTF-16.
std::u16string SubjectText(X509* cert) {
    std::string text;
    X509_NAME* subject = X509_get_subject_name(cert);
    for (int i = 0; i < X509_NAME_entry_count(subject); ++i) {
        unsigned char* utf8 = nullptr;
        int len =
            ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, i)));
        if (len < 0)
            continue;
        text += (text.empty() ? "" : ", ") +
                std::string(reinterpret_cast<char*>(utf8), static_cast<size_t>(len));
        OPENSSL_free(utf8);
    }
    return Utf8ToUtf16(text);
}

std::u16string LowerAscii(std::u16string text) {
    for (char16_t& c : text)
        c = c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
    return text;
}

bool MatchesSubjectText(X509* cert, const char16_t* wanted) {
    return LowerAscii(SubjectText(cert)).find(LowerAscii(wanted)) != std::u16string::npos;
}

// ----- chains -------------------------------------------------------------

struct ChainImpl : CERT_CHAIN_CONTEXT {
    X509* leaf = nullptr;
};

DWORD TrustBitFor(int error) {
    switch (error) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID:
        case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
        case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
            return CERT_TRUST_IS_NOT_TIME_VALID;
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_CERT_UNTRUSTED:
        case X509_V_ERR_CERT_REJECTED:
            return CERT_TRUST_IS_UNTRUSTED_ROOT;
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
            return CERT_TRUST_IS_PARTIAL_CHAIN;
        case X509_V_ERR_CERT_REVOKED:
            return CERT_TRUST_IS_REVOKED;
        case X509_V_ERR_UNABLE_TO_GET_CRL:
        case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER:
        case X509_V_ERR_CRL_SIGNATURE_FAILURE:
        case X509_V_ERR_UNABLE_TO_DECRYPT_CRL_SIGNATURE:
        case X509_V_ERR_ERROR_IN_CRL_LAST_UPDATE_FIELD:
        case X509_V_ERR_ERROR_IN_CRL_NEXT_UPDATE_FIELD:
        case X509_V_ERR_DIFFERENT_CRL_SCOPE:
            return CERT_TRUST_REVOCATION_STATUS_UNKNOWN;
        case X509_V_ERR_CRL_HAS_EXPIRED:
        case X509_V_ERR_CRL_NOT_YET_VALID:
            // A list out of date: as Windows says when it cannot fetch a fresh one.
            return CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
        case X509_V_ERR_INVALID_PURPOSE:
            return CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
        case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
        case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
            return CERT_TRUST_IS_NOT_SIGNATURE_VALID;
        default:
            return CERT_TRUST_IS_PARTIAL_CHAIN;
    }
}

// What the verifier's callback needs: where the problems go, and whether the
// root's revocation is left alone.
struct ChainCheck {
    DWORD* pStatus;
    bool bExcludeRoot;
};

bool IsRevocationStatusError(int error) {
    return (TrustBitFor(error) & CERT_TRUST_REVOCATION_STATUS_UNKNOWN) != 0;
}

// Collects every problem and lets the verifier go on, so that one chain
// answers for every check the policy may or may not waive.
int CollectErrors(int ok, X509_STORE_CTX* ctx) {
    const auto* check = static_cast<const ChainCheck*>(X509_STORE_CTX_get_ex_data(ctx, 0));
    if (ok || check == nullptr)
        return 1;
    const int error = X509_STORE_CTX_get_error(ctx);
    const STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx);
    const bool bRoot =
        chain != nullptr && X509_STORE_CTX_get_error_depth(ctx) == sk_X509_num(chain) - 1;
    if (!(check->bExcludeRoot && bRoot && IsRevocationStatusError(error)))
        *check->pStatus |= TrustBitFor(error);
    return 1;
}

// The OpenSSL purpose for the usage a chain request names; -1 for none.
int PurposeFor(const CERT_CHAIN_PARA* para) {
    if (para == nullptr)
        return -1;
    const CERT_ENHKEY_USAGE& usage = para->RequestedUsage.Usage;
    for (DWORD i = 0; i < usage.cUsageIdentifier; ++i) {
        const std::string oid = usage.rgpszUsageIdentifier[i];
        if (oid == szOID_PKIX_KP_SERVER_AUTH)
            return X509_PURPOSE_SSL_SERVER;
        if (oid == szOID_PKIX_KP_CLIENT_AUTH)
            return X509_PURPOSE_SSL_CLIENT;
    }
    return -1;
}

bool IsIpLiteral(const std::string& name) {
    unsigned char buf[16];
    return inet_pton_any(name.c_str(), buf);
}

}  // namespace

bool inet_pton_any(const char* text, unsigned char* out16) {
    ASN1_OCTET_STRING* ip = a2i_IPADDRESS(text);
    if (ip == nullptr) {
        ERR_clear_error();
        return false;
    }
    int len = ASN1_STRING_length(ip);
    if (out16 != nullptr && len <= 16)
        std::memcpy(out16, ASN1_STRING_get0_data(ip), static_cast<size_t>(len));
    ASN1_OCTET_STRING_free(ip);
    return true;
}

CertStoreImpl::~CertStoreImpl() {
    for (StoredCert& c : certs) {
        X509_free(c.cert);
        EVP_PKEY_free(c.key);
    }
}

PCCERT_CONTEXT NewCertContext(X509* cert, STACK_OF(X509) * chain) {
    auto* store = new CertStoreImpl();
    store->refs = 1;
    if (chain != nullptr) {
        for (int i = 0; i < sk_X509_num(chain); ++i) {
            X509* c = sk_X509_value(chain, i);
            X509_up_ref(c);
            store->certs.push_back(StoredCert{c, nullptr});
        }
    }
    CertContextImpl* ctx = NewContext(cert, nullptr, store);
    ReleaseStore(store);  // the context holds it now
    return ctx;
}

std::string SystemStoreFolder(const char16_t* pszStoreName, bool bLocalMachine) {
    std::string name = pszStoreName != nullptr ? Utf16ToUtf8(pszStoreName) : std::string();
    return StoreRoot() + (bLocalMachine ? "/LocalMachine/" : "/CurrentUser/") + name;
}

HCERTSTORE CertOpenSystemStoreW(ULONG_PTR /*hProv*/, const char16_t* pszSubsystemProtocol) {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                         CERT_SYSTEM_STORE_CURRENT_USER, pszSubsystemProtocol);
}

HCERTSTORE CertOpenStore(ULONG_PTR lpszStoreProvider, DWORD /*dwEncodingType*/,
                         ULONG_PTR /*hCryptProv*/, DWORD dwFlags, const void* pvPara) {
    const auto* name = static_cast<const char16_t*>(pvPara);
    if (lpszStoreProvider != CERT_STORE_PROV_SYSTEM_W || name == nullptr || *name == 0) {
        SetLastError(E_INVALIDARG);
        return nullptr;
    }
    std::u16string storeName(name);
    if (storeName.find(u'/') != std::u16string::npos ||
        storeName.find(u'\\') != std::u16string::npos || storeName == u"." || storeName == u"..") {
        SetLastError(E_INVALIDARG);
        return nullptr;
    }
    bool bMachine = (dwFlags & CERT_SYSTEM_STORE_LOCAL_MACHINE) != 0;
    bool bReadOnly = (dwFlags & CERT_STORE_READONLY_FLAG) != 0;
    std::string folder = SystemStoreFolder(name, bMachine);
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) {
        // A writable open creates the store, as the system does for the user's
        // stores; one that another thread or process created a moment ago is
        // as good.
        if (bReadOnly || (!std::filesystem::create_directories(folder, ec) &&
                          !std::filesystem::is_directory(folder, ec))) {
            SetLastError(ec ? Win32ErrorFromErrno(ec.value()) : ERROR_FILE_NOT_FOUND);
            return nullptr;
        }
    }
    auto* store = new CertStoreImpl();
    store->refs = 1;
    store->folder = folder;
    LoadFolder(folder, *store);
    return store;
}

BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD /*dwFlags*/) {
    if (hCertStore == nullptr)
        return TRUE;
    ReleaseStore(static_cast<CertStoreImpl*>(hCertStore));
    return TRUE;
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD /*dwCertEncodingType*/,
                                          DWORD /*dwFindFlags*/, DWORD dwFindType,
                                          const void* pvFindPara, PCCERT_CONTEXT pPrevCertContext) {
    auto* store = static_cast<CertStoreImpl*>(hCertStore);
    size_t start = 0;
    if (pPrevCertContext != nullptr) {
        start = Impl(pPrevCertContext)->indexInStore + 1;
        CertFreeCertificateContext(pPrevCertContext);
    }
    if (store == nullptr ||
        (dwFindType != CERT_FIND_ANY && dwFindType != CERT_FIND_SUBJECT_ATTR &&
         dwFindType != CERT_FIND_SUBJECT_STR_W) ||
        (dwFindType != CERT_FIND_ANY && pvFindPara == nullptr)) {
        SetLastError(E_INVALIDARG);
        return nullptr;
    }
    for (size_t i = start; i < store->certs.size(); ++i) {
        const StoredCert& c = store->certs[i];
        if (dwFindType == CERT_FIND_SUBJECT_ATTR &&
            !MatchesSubjectAttributes(c.cert, static_cast<const CERT_RDN*>(pvFindPara)))
            continue;
        if (dwFindType == CERT_FIND_SUBJECT_STR_W &&
            !MatchesSubjectText(c.cert, static_cast<const char16_t*>(pvFindPara)))
            continue;
        CertContextImpl* ctx = NewContext(c.cert, c.key, store);
        if (ctx == nullptr)
            continue;
        ctx->indexInStore = i;
        return ctx;
    }
    SetLastError(CRYPT_E_NOT_FOUND);
    return nullptr;
}

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext) {
    if (pCertContext != nullptr)
        Impl(pCertContext)->refs.fetch_add(1);
    return pCertContext;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
    if (pCertContext == nullptr)
        return TRUE;
    CertContextImpl* ctx = Impl(pCertContext);
    if (ctx->refs.fetch_sub(1) != 1)
        return TRUE;
    OPENSSL_free(const_cast<BYTE*>(ctx->pbCertEncoded));
    X509_free(ctx->x509);
    EVP_PKEY_free(ctx->key);
    ReleaseStore(static_cast<CertStoreImpl*>(ctx->hCertStore));
    delete ctx;
    return TRUE;
}

PCCERT_CONTEXT CertCreateCertificateContext(DWORD /*dwCertEncodingType*/, const BYTE* pbCertEncoded,
                                            DWORD cbCertEncoded) {
    if (pbCertEncoded == nullptr || cbCertEncoded == 0) {
        SetLastError(E_INVALIDARG);
        return nullptr;
    }
    const unsigned char* p = pbCertEncoded;
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(cbCertEncoded));
    if (cert == nullptr) {
        ERR_clear_error();
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    PCCERT_CONTEXT ctx = NewCertContext(cert, nullptr);
    X509_free(cert);
    return ctx;
}

DWORD CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD /*dwFlags*/,
                         const void* pvTypePara, char16_t* pszNameString, DWORD cchNameString) {
    std::u16string value;
    if (pCertContext != nullptr && dwType == CERT_NAME_ATTR_TYPE && pvTypePara != nullptr) {
        ASN1_OBJECT* oid = OBJ_txt2obj(static_cast<const char*>(pvTypePara), 1);
        X509_NAME* subject = X509_get_subject_name(Impl(pCertContext)->x509);
        const int i = oid != nullptr ? X509_NAME_get_index_by_OBJ(subject, oid, -1) : -1;
        unsigned char* utf8 = nullptr;
        const int len = i >= 0
                            ? ASN1_STRING_to_UTF8(
                                  &utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, i)))
                            : -1;
        if (len >= 0) {
            value =
                Utf8ToUtf16(std::string(reinterpret_cast<char*>(utf8), static_cast<size_t>(len)));
            OPENSSL_free(utf8);
        }
        ASN1_OBJECT_free(oid);
        ERR_clear_error();
    }
    // As CryptoAPI: the size with the NUL without a buffer, else as much as fits.
    if (pszNameString == nullptr || cchNameString == 0)
        return static_cast<DWORD>(value.size() + 1);
    const size_t n = std::min<size_t>(value.size(), cchNameString - 1);
    std::copy_n(value.begin(), n, pszNameString);
    pszNameString[n] = 0;
    return static_cast<DWORD>(n + 1);
}

X509* CertX509(PCCERT_CONTEXT p) {
    return p != nullptr ? Impl(p)->x509 : nullptr;
}
EVP_PKEY* CertPrivateKey(PCCERT_CONTEXT p) {
    return p != nullptr ? Impl(p)->key : nullptr;
}
std::vector<std::string> CertCommonNames(PCCERT_CONTEXT p) {
    return p != nullptr ? CommonNames(Impl(p)->x509) : std::vector<std::string>();
}

namespace {

// One reference to the system trust store: OpenSSL's default file and
// folder (or those SSL_CERT_FILE and SSL_CERT_DIR name). It is loaded once and
// again only when the file changes or another is named, as the system keeps
// its root store: parsing every root certificate for each message would cost
// more than the handshake.
X509_STORE* SystemTrustStore() {
    static std::mutex mutex;
    static X509_STORE* store = nullptr;
    static auto* loadedFrom = new std::string();
    const char* file = std::getenv(X509_get_default_cert_file_env());
    const char* dir = std::getenv(X509_get_default_cert_dir_env());
    if (file == nullptr)
        file = X509_get_default_cert_file();
    if (dir == nullptr)
        dir = X509_get_default_cert_dir();
    struct stat st {};
    ::stat(file, &st);
    const std::string key = std::string(file) + '\n' + dir + '\n' + std::to_string(st.st_ino) +
                            ' ' + std::to_string(st.st_size) + ' ' +
                            std::to_string(st.st_mtim.tv_sec) + '.' +
                            std::to_string(st.st_mtim.tv_nsec);
    std::lock_guard<std::mutex> lock(mutex);
    if (store == nullptr || key != *loadedFrom) {
        X509_STORE* fresh = X509_STORE_new();
        if (fresh == nullptr) {
            ERR_clear_error();
            return nullptr;
        }
        // A missing default file or folder only means fewer trusted roots.
        X509_STORE_set_default_paths(fresh);
        ERR_clear_error();
        X509_STORE_free(store);
        store = fresh;
        *loadedFrom = key;
    }
    X509_STORE_up_ref(store);
    return store;
}

}  // namespace

BOOL CertGetCertificateChain(HCERTCHAINENGINE /*hChainEngine*/, PCCERT_CONTEXT pCertContext,
                             const void* /*pTime*/, HCERTSTORE hAdditionalStore,
                             const CERT_CHAIN_PARA* pChainPara, DWORD dwFlags, void* /*pvReserved*/,
                             PCCERT_CHAIN_CONTEXT* ppChainContext) {
    if (pCertContext == nullptr || ppChainContext == nullptr) {
        SetLastError(E_INVALIDARG);
        return FALSE;
    }
    *ppChainContext = nullptr;
    X509_STORE* trust = SystemTrustStore();
    X509_STORE_CTX* ctx = X509_STORE_CTX_new();
    STACK_OF(X509)* untrusted = sk_X509_new_null();
    if (trust == nullptr || ctx == nullptr || untrusted == nullptr) {
        X509_STORE_free(trust);
        X509_STORE_CTX_free(ctx);
        sk_X509_free(untrusted);
        ERR_clear_error();
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    if (auto* extra = static_cast<CertStoreImpl*>(hAdditionalStore); extra != nullptr) {
        for (const StoredCert& c : extra->certs)
            sk_X509_push(untrusted, c.cert);
    }
    auto* chain = new ChainImpl();
    chain->cbSize = sizeof(CERT_CHAIN_CONTEXT);
    chain->TrustStatus = {CERT_TRUST_NO_ERROR, 0};
    chain->leaf = CertX509(pCertContext);
    X509_up_ref(chain->leaf);

    X509_STORE_CTX_init(ctx, trust, chain->leaf, untrusted);
    ChainCheck check{&chain->TrustStatus.dwErrorStatus,
                     (dwFlags & CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT) != 0};
    X509_STORE_CTX_set_ex_data(ctx, 0, &check);
    X509_STORE_CTX_set_verify_cb(ctx, CollectErrors);
    // The chain records whether the certificate's usage allows what was asked.
    if (const int purpose = PurposeFor(pChainPara); purpose >= 0)
        X509_STORE_CTX_set_purpose(ctx, purpose);
    if ((dwFlags &
         (CERT_CHAIN_REVOCATION_CHECK_CHAIN | CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT)) != 0)
        X509_STORE_CTX_set_flags(ctx, X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
    else if ((dwFlags & CERT_CHAIN_REVOCATION_CHECK_END_CERT) != 0)
        X509_STORE_CTX_set_flags(ctx, X509_V_FLAG_CRL_CHECK);
    if (X509_verify_cert(ctx) <= 0 && chain->TrustStatus.dwErrorStatus == 0) {
        // The verifier stopped without naming a problem it let through.
        chain->TrustStatus.dwErrorStatus |= TrustBitFor(X509_STORE_CTX_get_error(ctx));
    }
    ERR_clear_error();
    X509_STORE_CTX_free(ctx);
    X509_STORE_free(trust);
    sk_X509_free(untrusted);
    *ppChainContext = chain;
    return TRUE;
}

void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext) {
    if (pChainContext == nullptr)
        return;
    auto* chain = static_cast<ChainImpl*>(const_cast<CERT_CHAIN_CONTEXT*>(pChainContext));
    X509_free(chain->leaf);
    delete chain;
}

BOOL CertVerifyCertificateChainPolicy(const char* pszPolicyOID, PCCERT_CHAIN_CONTEXT pChainContext,
                                      const CERT_CHAIN_POLICY_PARA* pPolicyPara,
                                      CERT_CHAIN_POLICY_STATUS* pPolicyStatus) {
    if (pszPolicyOID != CERT_CHAIN_POLICY_SSL || pChainContext == nullptr ||
        pPolicyStatus == nullptr) {
        SetLastError(E_INVALIDARG);
        return FALSE;
    }
    const auto* chain = static_cast<const ChainImpl*>(pChainContext);
    const SSL_EXTRA_CERT_CHAIN_POLICY_PARA* ssl =
        pPolicyPara != nullptr
            ? static_cast<const SSL_EXTRA_CERT_CHAIN_POLICY_PARA*>(pPolicyPara->pvExtraPolicyPara)
            : nullptr;
    DWORD checks = ssl != nullptr ? ssl->fdwChecks : 0;
    DWORD status = chain->TrustStatus.dwErrorStatus;

    DWORD error = 0;
    if ((status & CERT_TRUST_IS_NOT_SIGNATURE_VALID) != 0) {
        error = TRUST_E_CERT_SIGNATURE;
    } else if ((status & CERT_TRUST_IS_UNTRUSTED_ROOT) != 0 &&
               (checks & SECURITY_FLAG_IGNORE_UNKNOWN_CA) == 0) {
        error = CERT_E_UNTRUSTEDROOT;
    } else if ((status & CERT_TRUST_IS_PARTIAL_CHAIN) != 0 &&
               (checks & SECURITY_FLAG_IGNORE_UNKNOWN_CA) == 0) {
        error = CERT_E_CHAINING;
    } else if ((status & CERT_TRUST_IS_NOT_TIME_VALID) != 0 &&
               (checks & SECURITY_FLAG_IGNORE_CERT_DATE_INVALID) == 0) {
        error = CERT_E_EXPIRED;
    } else if ((status & CERT_TRUST_IS_REVOKED) != 0 &&
               (checks & SECURITY_FLAG_IGNORE_REVOCATION) == 0) {
        error = CRYPT_E_REVOKED;
    } else if ((status & CERT_TRUST_REVOCATION_STATUS_UNKNOWN) != 0 &&
               (checks & SECURITY_FLAG_IGNORE_REVOCATION) == 0 &&
               (pPolicyPara == nullptr ||
                (pPolicyPara->dwFlags & CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS) == 0)) {
        error = (status & CERT_TRUST_IS_OFFLINE_REVOCATION) != 0 ? CRYPT_E_REVOCATION_OFFLINE
                                                                 : CRYPT_E_NO_REVOCATION_CHECK;
    } else if ((status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) != 0 &&
               (checks & SECURITY_FLAG_IGNORE_WRONG_USAGE) == 0) {
        error = CERT_E_WRONG_USAGE;
    } else if (ssl != nullptr && ssl->pwszServerName != nullptr && *ssl->pwszServerName != 0 &&
               (checks & SECURITY_FLAG_IGNORE_CERT_CN_INVALID) == 0) {
        std::string name = Utf16ToUtf8(ssl->pwszServerName);
        int match = IsIpLiteral(name)
                        ? X509_check_ip_asc(chain->leaf, name.c_str(), 0)
                        : X509_check_host(chain->leaf, name.data(), name.size(),
                                          X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS, nullptr);
        ERR_clear_error();
        if (match != 1)
            error = CERT_E_CN_NO_MATCH;
    }
    pPolicyStatus->dwError = error;
    pPolicyStatus->lChainIndex = error != 0 ? 0 : -1;
    pPolicyStatus->lElementIndex = error != 0 ? 0 : -1;
    return TRUE;
}

DWORD VerifyServerCertificate(PCCERT_CONTEXT pServerCert, const char16_t* pszServerName,
                              DWORD dwCertFlags) {
    char* usage[] = {const_cast<char*>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA chainPara{sizeof chainPara, {USAGE_MATCH_TYPE_AND, {1, usage}}, {}, 0};
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, pServerCert, nullptr,
                                 pServerCert ? pServerCert->hCertStore : nullptr, &chainPara,
                                 CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT, nullptr, &chain))
        return GetLastError();
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{sizeof ssl, AUTHTYPE_SERVER, dwCertFlags, pszServerName};
    CERT_CHAIN_POLICY_PARA para{sizeof para, CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS, &ssl};
    CERT_CHAIN_POLICY_STATUS status{sizeof status, 0, -1, -1, nullptr};
    DWORD result = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &para, &status)
                       ? status.dwError
                       : GetLastError();
    CertFreeCertificateChain(chain);
    return result;
}

}  // namespace platform
