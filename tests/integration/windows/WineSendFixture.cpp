#include <winsock2.h>
// After winsock2.h, which must come before windows.h.
#include "WineSendFixture.h"

#include <wincrypt.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "api/ConfigText.h"
#include "config/CMailCfg.h"
#include "hostmodule/HostModule.h"

std::string WindowsPathOf(const std::string& unixPath) {
    std::string path = "Z:" + unixPath;
    for (char& c : path)
        c = c == '/' ? '\\' : c;
    return path;
}

std::string PeerValue(const std::string& key) {
    static const std::map<std::string, std::string> values = [] {
        std::map<std::string, std::string> read;
        std::ifstream in(WindowsPathOf(SMTPMAIL_WINDOWS_PEERS_DIR "/peers.txt"));
        for (std::string k, v; std::getline(in, k, '=') && std::getline(in, v);)
            read[k] = v;
        return read;
    }();
    const auto it = values.find(key);
    return it == values.end() ? std::string() : it->second;
}

std::vector<std::string> AskPeers(const std::string& request) {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = ::htons(static_cast<u_short>(std::stoi("0" + PeerValue("port.control"))));
    a.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    DWORD timeoutMs = 90000;
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs),
                 sizeof timeoutMs);
    std::string answer = "cannot reach the peers' control port\n.\n";
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        answer = "\n" + request + "\n";
        ::send(s, answer.data() + 1, static_cast<int>(answer.size() - 1), 0);
        answer = "\n";  // so that the last line of every answer is "\n.\n"
        char buffer[4096];
        for (int n; !answer.ends_with("\n.\n") && (n = ::recv(s, buffer, sizeof buffer, 0)) > 0;)
            answer.append(buffer, static_cast<size_t>(n));
        answer = answer.substr(1);
    }
    ::closesocket(s);
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = answer.find('\n', at)) != std::string::npos; at = end + 1) {
        if (answer.compare(at, end - at, ".") == 0)
            return lines;
        lines.push_back(answer.substr(at, end - at));
    }
    lines.push_back("the answer ended early");
    return lines;
}

namespace {

ImportPatch* g_chainPatch = nullptr;
DWORD g_lastChainProblems = ~0u;

// The test CA as its own store.
HCERTSTORE TestCaStore() {
    static HCERTSTORE store = [] {
        std::ifstream file(WindowsPathOf(PeerValue("path.ca_der")), std::ios::binary);
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

}  // namespace

void WineSendTest::SetUp() {
    ASSERT_TRUE(Library().Loaded()) << Library().error;
    ASSERT_NE(PeerValue("port.control"), "")
        << "no peers.txt: the windows_peers fixture did not run?";
    ASSERT_NE(::CertEnumCertificatesInStore(TestCaStore(), nullptr), nullptr) << "no test CA";
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    m_folder = PeerValue("path.scratch") + "/" + info->test_suite_name() + "-" + info->name();
    std::filesystem::create_directories(WindowsPathOf(m_folder));
    m_wfolder = FromUtf8(WindowsPathOf(m_folder) + "\\");
    // After the provider (with secur32) is loaded: secur32 reads its packages from HKLM then.
    m_scratch = std::make_unique<ScratchDir>();
    m_registry = std::make_unique<ScratchRegistry>(*m_scratch);
    m_flags.cbSize = sizeof m_flags;
    m_flags.logProvider = &m_log;
    m_flags.hResource = LoadTestHostModule(true);
    m_flags.pszPrimaryDir = reinterpret_cast<const MAILWCHAR*>(m_wfolder.c_str());
    m_flags.pszSecondaryDir = m_flags.pszPrimaryDir;
    m_chainPatch =
        std::make_unique<ImportPatch>(Provider(), "CRYPT32.dll", "CertGetCertificateChain",
                                      reinterpret_cast<const void*>(&ChainOnTestCa));
    ASSERT_EQ(m_chainPatch->Error(), "");
    g_chainPatch = m_chainPatch.get();
    g_lastChainProblems = ~0u;
}

void WineSendTest::TearDown() {
    Close();
    m_chainPatch.reset();
    m_registry.reset();
    m_scratch.reset();
}

StoreSettings WineSendTest::Peer(const std::string& name, int auth) {
    return StoreSettings{"localhost",
                         std::stoi(PeerValue("port." + name)),
                         auth,
                         true,
                         0,
                         PeerValue("account.user"),
                         PeerValue("account.password")};
}

DWORD WineSendTest::LastChainProblems() {
    return g_lastChainProblems;
}

void WineSendTest::Configure(const StoreSettings& s) {
    std::vector<std::u16string> fields(CFG_FIELD_COUNT);
    fields[CFG_HOST] = FromUtf8(s.host);
    fields[CFG_USER] = FromUtf8(s.user);
    fields[CFG_SENDER_NAME] = u"Wine Sender";
    fields[CFG_SENDER_ADDR] = u"wine-sender@example.org";
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
    return error == nullptr
               ? std::u16string()
               : std::u16string(reinterpret_cast<const char16_t*>(error->szDescription));
}

void WineSendTest::ExpectLastError(MAILRESULT code, const std::u16string& start, uint32_t native) {
    const MAILERROR* error = Library().GetLastError(m_h);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->nCode, code);
    EXPECT_EQ(Description().substr(0, start.size()), start) << ToUtf8(Description());
    EXPECT_EQ(error->dwNativeCode, native) << ToUtf8(Description());
}

::testing::AssertionResult WineSendTest::Stored(const std::string& marker,
                                                const std::string& expected) {
    // The address, so that marker 1 does not find the message of marker 10.
    const std::vector<std::string> answer =
        AskPeers("check " + marker + "@example.org " + WriteFile(marker + ".json", expected));
    if (!answer.empty() && answer.front() == "ok")
        return ::testing::AssertionSuccess();
    auto failure = ::testing::AssertionFailure() << "read back of " << marker << ":";
    for (const std::string& l : answer)
        failure << "\n  " << l;
    return failure;
}

void WineSendTest::ExpectDeliveredOrRefusedByPolicy(uint32_t policyError) {
    const std::string marker = NewMarker();
    HostMessage message = Simple(marker);
    if (policyError == 0) {
        EXPECT_EQ(Send(message.Record()), MAILERR_OK) << ToUtf8(Description());
        EXPECT_TRUE(Stored(marker, R"({"envelope": {"tls": true}})"));
        return;
    }
    EXPECT_EQ(Send(message.Record()), MAILERR_ACCESS_DENIED);
    char code[16];
    std::snprintf(code, sizeof code, "%x", static_cast<unsigned>(policyError));
    ExpectLastError(MAILERR_ACCESS_DENIED,
                    kConnecting + u"PolicyStatus error code = " + FromUtf8(code) + u".",
                    policyError);
}

void WineSendTest::Close() {
    if (m_h != nullptr)
        Library().Uninitialize(m_h);
    m_h = nullptr;
}

std::string WineSendTest::WriteFile(const std::string& name, const std::string& bytes) const {
    std::ofstream f(WindowsPathOf(m_folder + "/" + name), std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return m_folder + "/" + name;
}
