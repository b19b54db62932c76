#include "WineSendFixture.h"

#include <windows.h>
// After windows.h, whose types it uses.
#include <wincrypt.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "ImportPatch.h"
#include "LogCapture.h"
#include "UnixPath.h"
#include "api/ConfigText.h"
#include "config/CMailCfg.h"
#include "hostmodule/HostModule.h"

namespace {

std::u16string HostText(const MAILWCHAR* text) {
    return std::u16string(reinterpret_cast<const char16_t*>(text));
}

std::vector<BYTE> ReadDer(const std::string& key) {
    std::ifstream file(WindowsPathOf(WindowsPeers::Get().Value("paths", key)), std::ios::binary);
    return std::vector<BYTE>((std::istreambuf_iterator<char>(file)),
                             std::istreambuf_iterator<char>());
}

// The test CA as its own store.
HCERTSTORE TestCaStore() {
    static HCERTSTORE store = [] {
        HCERTSTORE created = ::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
        const std::vector<BYTE> der = ReadDer("ca_der");
        if (created != nullptr &&
            !::CertAddEncodedCertificateToStore(created, X509_ASN_ENCODING, der.data(),
                                                static_cast<DWORD>(der.size()),
                                                CERT_STORE_ADD_ALWAYS, nullptr)) {
            ::CertCloseStore(created, 0);
            created = nullptr;
        }
        return created;
    }();
    return store;
}

// Clears "untrusted root" where a chain ends at the test CA, as if the CA
// were in the Root store.
void TrustTestCa(PCCERT_CHAIN_CONTEXT chain) {
    PCCERT_CONTEXT ca = ::CertEnumCertificatesInStore(TestCaStore(), nullptr);
    auto* context = const_cast<CERT_CHAIN_CONTEXT*>(chain);
    context->TrustStatus.dwErrorStatus = 0;
    for (DWORD i = 0; i < context->cChain; ++i) {
        CERT_SIMPLE_CHAIN* simple = context->rgpChain[i];
        CERT_CHAIN_ELEMENT* root = simple->rgpElement[simple->cElement - 1];
        if (ca != nullptr && ::CertCompareCertificate(X509_ASN_ENCODING, ca->pCertInfo,
                                                      root->pCertContext->pCertInfo)) {
            root->TrustStatus.dwErrorStatus &= ~CERT_TRUST_IS_UNTRUSTED_ROOT;
            simple->TrustStatus.dwErrorStatus &= ~CERT_TRUST_IS_UNTRUSTED_ROOT;
        }
        context->TrustStatus.dwErrorStatus |= simple->TrustStatus.dwErrorStatus;
    }
    if (ca != nullptr)
        ::CertFreeCertificateContext(ca);
}

ImportPatch* g_chainPatch = nullptr;

// Wine's chain engine trusts exactly the host system's certificates: roots
// added to the prefix's stores do not last, and an exclusive root store is
// not honoured. So the provider's chain requests see the test CA as an
// extra store and as trusted; everything else of the chain and the policy
// stays the prefix's own.
BOOL WINAPI ChainOnTestCa(HCERTCHAINENGINE engine, PCCERT_CONTEXT cert, LPFILETIME time,
                          HCERTSTORE extra, PCERT_CHAIN_PARA para, DWORD flags, LPVOID reserved,
                          PCCERT_CHAIN_CONTEXT* chain) {
    HCERTSTORE stores = ::CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    if (stores == nullptr)
        return FALSE;
    ::CertAddStoreToCollection(stores, TestCaStore(), 0, 0);
    if (extra != nullptr)
        ::CertAddStoreToCollection(stores, extra, 0, 0);
    const BOOL bDone = g_chainPatch->Original<decltype(&::CertGetCertificateChain)>()(
        engine, cert, time, stores, para, flags, reserved, chain);
    ::CertCloseStore(stores, 0);
    if (bDone && *chain != nullptr)
        TrustTestCa(*chain);
    return bDone;
}

}  // namespace

void WineSendTest::SetUp() {
    ASSERT_TRUE(Library().Loaded()) << Library().error;
    ASSERT_EQ(Peers().Error(), "");
    m_folder = Peers().TestFolder();
    m_wfolder = FromUtf8(WindowsPathOf(m_folder) + "\\");
    m_scratch = std::make_unique<ScratchDir>();
    m_registry = std::make_unique<ScratchRegistry>(*m_scratch);
    m_flags = MAILINIFLAGS{};
    m_flags.cbSize = sizeof m_flags;
    m_flags.logProvider = &m_log;
    m_flags.hResource = LoadTestHostModule(true);
    m_flags.pszPrimaryDir = reinterpret_cast<const MAILWCHAR*>(m_wfolder.c_str());
    m_flags.pszSecondaryDir = m_flags.pszPrimaryDir;
    m_chainPatch =
        std::make_unique<ImportPatch>(Provider(), "CRYPT32.dll", "CertGetCertificateChain",
                                      reinterpret_cast<const void*>(&ChainOnTestCa));
    ASSERT_EQ(m_chainPatch->Error(), "");
    ASSERT_NE(TestCaStore(), nullptr) << "cannot read the test CA: error " << ::GetLastError();
    g_chainPatch = m_chainPatch.get();
}

void WineSendTest::TearDown() {
    Close();
    m_chainPatch.reset();
    m_registry.reset();
    m_scratch.reset();
}

StoreSettings WineSendTest::Peer(const std::string& name, int auth) {
    StoreSettings s;
    s.port = Peers().Port(name);
    s.auth = auth;
    s.bStartTls = true;
    s.user = Peers().Value("account", "user");
    s.password = Peers().Value("account", "password");
    return s;
}

HMODULE WineSendTest::Provider() {
    return ::GetModuleHandleW(L"smtpmail.dll");
}

DWORD WineSendTest::GoodPeerChainProblems() {
    const std::vector<BYTE> der = ReadDer("server_der");
    PCCERT_CONTEXT leaf = ::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                                         static_cast<DWORD>(der.size()));
    if (leaf == nullptr)
        return ~0u;
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    DWORD problems = ~0u;
    if (ChainOnTestCa(nullptr, leaf, nullptr, nullptr, &para, 0, nullptr, &chain)) {
        problems = chain->TrustStatus.dwErrorStatus;
        ::CertFreeCertificateChain(chain);
    }
    ::CertFreeCertificateContext(leaf);
    return problems;
}

void WineSendTest::Configure(const StoreSettings& s) {
    std::vector<std::u16string> fields(CFG_FIELD_COUNT);
    fields[CFG_HOST] = FromUtf8(s.host);
    fields[CFG_USER] = FromUtf8(s.user);
    fields[CFG_SENDER_NAME] = u"Wine Sender";
    fields[CFG_SENDER_ADDR] = FromUtf8(s.sender);
    fields[CFG_PORT] = FromUtf8(std::to_string(s.port));
    fields[CFG_AUTH_METHOD] = FromUtf8(std::to_string(s.auth));
    fields[CFG_STARTTLS] = s.bStartTls ? u"1" : u"0";
    fields[CFG_CERT_FLAGS] = FromUtf8(std::to_string(s.certFlags));
    CMailCfg cfg;
    cfg.m_strText1 = JoinConfigText(fields);
    cfg.m_strText2 = FromUtf8(s.password);
    ASSERT_TRUE(cfg.save((m_wfolder + u"smtp.cfg").c_str()));
    Close();
}

std::string WineSendTest::NewMarker() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string marker = std::string("wine-") + info->test_suite_name() + "-" + info->name() + "-" +
                         std::to_string(++m_nMarkers);
    for (char& c : marker)
        c = std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(c)) : '-';
    return marker;
}

HostMessage WineSendTest::Simple(const std::string& marker) {
    HostMessage m;
    m.Subject(u"Wine " + FromUtf8(marker))
        .Body(u"b")
        .To(nullptr, FromUtf8(marker + "@example.org").c_str());
    return m;
}

MAILRESULT WineSendTest::Send(const MAILMESSAGE* message) {
    if (m_h == nullptr)
        m_h = Library().Initialize(&m_flags);
    if (m_h == nullptr) {
        ADD_FAILURE() << "Mail_Initialize failed";
        return MAILERR_INTERNAL;
    }
    return Library().Send(m_h, message, nullptr);
}

std::u16string WineSendTest::Description() {
    const MAILERROR* error = Library().GetLastError(m_h);
    return error == nullptr ? std::u16string() : HostText(error->szDescription);
}

void WineSendTest::ExpectLastError(MAILRESULT code, const std::u16string& start, uint32_t native) {
    const MAILERROR* error = Library().GetLastError(m_h);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->nCode, code);
    const std::u16string text = HostText(error->szDescription);
    EXPECT_EQ(text.substr(0, start.size()), start) << ToUtf8(text);
    EXPECT_EQ(error->dwNativeCode, native) << ToUtf8(text);

    MAILFORMATERROR report{};
    report.cbSize = sizeof report;
    ASSERT_EQ(Library().Execute(m_h, MAILCMD_FORMATERROR, &report), MAILERR_OK);
    char tail[32];
    std::snprintf(tail, sizeof tail, " 0x%X", native);
    EXPECT_TRUE(ToUtf8(HostText(report.szText)).ends_with(ToUtf8(text) + tail))
        << ToUtf8(HostText(report.szText));
}

void WineSendTest::Close() {
    if (m_h != nullptr)
        Library().Uninitialize(m_h);
    m_h = nullptr;
}

std::string WineSendTest::WriteFile(const std::string& name, const std::string& bytes) const {
    std::ofstream f(WindowsPathOf(Path(name)), std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return Path(name);
}

void WineSendTest::ExpectDeliveredOrRefusedByPolicy(uint32_t policyError) {
    const std::string marker = NewMarker();
    HostMessage message = Simple(marker);
    if (policyError == 0) {
        EXPECT_EQ(Send(message.Record()), MAILERR_OK) << ToUtf8(Description());
        const std::string expected =
            R"({"rcpt_tos": [")" + marker + R"(@example.org"], "envelope": {"tls": true}})";
        EXPECT_TRUE(Peers().MessageMatches(marker, WriteFile(marker + ".json", expected)));
        return;
    }
    EXPECT_EQ(Send(message.Record()), MAILERR_ACCESS_DENIED);
    char code[16];
    std::snprintf(code, sizeof code, "%x", static_cast<unsigned>(policyError));
    ExpectLastError(MAILERR_ACCESS_DENIED,
                    kConnecting + u"PolicyStatus error code = " + FromUtf8(code) + u".",
                    policyError);
}
