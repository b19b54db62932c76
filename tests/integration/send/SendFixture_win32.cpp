// The Windows host under Wine: Linux paths through drive Z:, the test CA
// trusted through the provider's chain requests, and the session user of NTLM
// handed to the real package.
#include <windows.h>
// After windows.h, whose types they use.
#include <psapi.h>
#include <wincrypt.h>
#define SECURITY_WIN32
#include <security.h>

#include <gmock/gmock.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>
#include <vector>

#include "ImportPatch.h"
#include "SendFixture.h"

const char kHostSeparator = '\\';

std::string HostPath(const std::string& path) {
    std::string host = "Z:" + path;
    for (char& c : host)
        c = c == '/' ? '\\' : c;
    return host;
}

uint64_t PeakMemoryBytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters);
    return counters.PeakWorkingSetSize;
}

namespace {

ImportPatch* g_chainPatch = nullptr;
DWORD g_lastChainProblems = ~0u;

// The test CA as its own store.
HCERTSTORE TestCaStore() {
    static HCERTSTORE store = [] {
        std::ifstream file(HostPath(PeerValue("path.certs") + "/ca.der"), std::ios::binary);
        const std::string der((std::istreambuf_iterator<char>(file)),
                              std::istreambuf_iterator<char>());
        HCERTSTORE created = ::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
        ::CertAddEncodedCertificateToStore(
            created, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
            static_cast<DWORD>(der.size()), CERT_STORE_ADD_ALWAYS, nullptr);
        return created;
    }();
    return store;
}

// Wine's chain engine trusts exactly the host system's certificates: roots
// added to the prefix's stores do not last, and an exclusive root store is
// not honoured. So the provider's chain requests get the test CA as an extra
// store, and a chain that ends there loses "untrusted root", as if the CA
// were in the Root store; everything else stays the prefix's own.
BOOL WINAPI ChainOnTestCa(HCERTCHAINENGINE engine, PCCERT_CONTEXT cert, LPFILETIME time,
                          HCERTSTORE extra, PCERT_CHAIN_PARA para, DWORD flags, LPVOID reserved,
                          PCCERT_CHAIN_CONTEXT* chain) {
    HCERTSTORE stores = ::CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    ::CertAddStoreToCollection(stores, TestCaStore(), 0, 0);
    if (extra != nullptr)
        ::CertAddStoreToCollection(stores, extra, 0, 0);
    const BOOL bDone = g_chainPatch->Original<decltype(&::CertGetCertificateChain)>()(
        engine, cert, time, stores, para, flags, reserved, chain);
    ::CertCloseStore(stores, 0);
    if (!bDone || *chain == nullptr)
        return bDone;
    PCCERT_CONTEXT ca = ::CertEnumCertificatesInStore(TestCaStore(), nullptr);
    auto* context = const_cast<CERT_CHAIN_CONTEXT*>(*chain);
    context->TrustStatus.dwErrorStatus = 0;
    for (DWORD i = 0; i < context->cChain; ++i) {
        CERT_SIMPLE_CHAIN* simple = context->rgpChain[i];
        CERT_CHAIN_ELEMENT* root = simple->rgpElement[simple->cElement - 1];
        if (::CertCompareCertificate(X509_ASN_ENCODING, ca->pCertInfo,
                                     root->pCertContext->pCertInfo)) {
            root->TrustStatus.dwErrorStatus &= ~CERT_TRUST_IS_UNTRUSTED_ROOT;
            simple->TrustStatus.dwErrorStatus &= ~CERT_TRUST_IS_UNTRUSTED_ROOT;
        }
        context->TrustStatus.dwErrorStatus |= simple->TrustStatus.dwErrorStatus;
    }
    ::CertFreeCertificateContext(ca);
    g_lastChainProblems = context->TrustStatus.dwErrorStatus;
    return bDone;
}

// The system's SSL policy, noting the server name and the checks asked of it.
ImportPatch* g_policyPatch = nullptr;
std::vector<std::pair<std::wstring, DWORD>> g_policyAsked;

BOOL WINAPI NotedSslPolicy(LPCSTR policy, PCCERT_CHAIN_CONTEXT chain, PCERT_CHAIN_POLICY_PARA para,
                           PCERT_CHAIN_POLICY_STATUS status) {
    if (policy == CERT_CHAIN_POLICY_SSL && para != nullptr && para->pvExtraPolicyPara != nullptr) {
        const auto* ssl =
            static_cast<const SSL_EXTRA_CERT_CHAIN_POLICY_PARA*>(para->pvExtraPolicyPara);
        g_policyAsked.emplace_back(ssl->pwszServerName != nullptr ? ssl->pwszServerName : L"",
                                   ssl->fdwChecks);
    }
    return g_policyPatch->Original<decltype(&::CertVerifyCertificateChainPolicy)>()(policy, chain,
                                                                                    para, status);
}

struct TestCaTrust {
    ImportPatch chain{ProviderModule(), "CRYPT32.dll", "CertGetCertificateChain",
                      reinterpret_cast<const void*>(&ChainOnTestCa)};
    ImportPatch policy{ProviderModule(), "CRYPT32.dll", "CertVerifyCertificateChainPolicy",
                       reinterpret_cast<const void*>(&NotedSslPolicy)};
    TestCaTrust() {
        g_chainPatch = &chain;
        g_policyPatch = &policy;
        g_lastChainProblems = ~0u;
        g_policyAsked.clear();
    }
    ~TestCaTrust() { g_chainPatch = g_policyPatch = nullptr; }
};

}  // namespace

std::shared_ptr<void> HoldTestCaTrust() {
    EXPECT_NE(::CertEnumCertificatesInStore(TestCaStore(), nullptr), nullptr) << "no test CA";
    auto trust = std::make_shared<TestCaTrust>();
    EXPECT_EQ(trust->chain.Error() + trust->policy.Error(), "");
    return trust;
}

// The system's own chain engine and SSL policy decide, with the host name and
// the waivers of the store; a chain checked in full ends at the trusted test
// CA (Wine's SSL policy lets a chain that ends short of a root pass, so a
// delivery alone does not show that the certificate was verified).
void ExpectSystemCertificateCheck(const char* host, unsigned flags, bool bDelivered) {
    if ((flags & 0x4000) != 0) {
        EXPECT_THAT(g_policyAsked, ::testing::IsEmpty()) << "nothing is examined";
    } else {
        EXPECT_THAT(g_policyAsked, ::testing::ElementsAre(::testing::Pair(
                                       std::wstring(host, host + std::strlen(host)), flags)));
        EXPECT_TRUE(!bDelivered || flags != 0 || g_lastChainProblems == 0)
            << "the chain did not end at the trusted test CA: " << g_lastChainProblems;
    }
    g_policyAsked.clear();
}

namespace {

// Wine's NTLM package (winbind's ntlm_auth) has no logged-on user, whose
// credentials the provider asks for as on Windows (single sign-on): the
// substitute for its import of AcquireCredentialsHandleW hands the real
// package the account, as a Windows logon session would hold it, and fails
// the test when the provider names a user of its own.
ImportPatch* g_acquirePatch = nullptr;
std::wstring g_user, g_domain, g_password;

SECURITY_STATUS SEC_ENTRY AcquireAsSessionUser(LPWSTR principal, LPWSTR package, unsigned long use,
                                               void* logonId, void* authData, SEC_GET_KEY_FN getKey,
                                               void* getKeyArgument, PCredHandle credential,
                                               PTimeStamp expiry) {
    EXPECT_TRUE(principal == nullptr && logonId == nullptr && authData == nullptr &&
                package != nullptr && std::wstring(package) == L"NTLM" &&
                use == SECPKG_CRED_OUTBOUND)
        << "the provider asks for the session user's credentials";
    auto text = [](std::wstring& s) { return reinterpret_cast<unsigned short*>(s.data()); };
    auto size = [](std::wstring& s) { return static_cast<unsigned long>(s.size()); };
    SEC_WINNT_AUTH_IDENTITY_W identity{text(g_user),
                                       size(g_user),
                                       text(g_domain),
                                       size(g_domain),
                                       text(g_password),
                                       size(g_password),
                                       SEC_WINNT_AUTH_IDENTITY_UNICODE};
    return g_acquirePatch->Original<ACQUIRE_CREDENTIALS_HANDLE_FN_W>()(
        principal, package, use, logonId, &identity, getKey, getKeyArgument, credential, expiry);
}

}  // namespace

struct SessionUser::Impl {
    ImportPatch patch{ProviderModule(), "Secur32.dll", "AcquireCredentialsHandleW",
                      reinterpret_cast<const void*>(&AcquireAsSessionUser)};
};

SessionUser::SessionUser() : m_impl(std::make_unique<Impl>()) {
    EXPECT_EQ(m_impl->patch.Error(), "");
    g_acquirePatch = &m_impl->patch;
}

SessionUser::~SessionUser() {
    g_acquirePatch = nullptr;
}

bool SessionUser::LogOn(const char* account) {
    if (account == nullptr)
        return false;  // a Windows logon session always has its user
    const std::string text(account);
    const size_t first = text.find(':'), second = text.find(':', first + 1);
    auto wide = [](const std::string& s) { return std::wstring(s.begin(), s.end()); };
    g_domain = wide(text.substr(0, first));
    g_user = wide(text.substr(first + 1, second - first - 1));
    g_password = wide(text.substr(second + 1));
    return true;
}

std::vector<std::string> SpecialFiles(const std::string& /*folder*/) {
    return {};  // the FIFO and device rows are the Linux suite's
}
