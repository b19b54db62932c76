// Mail_Send of the Windows DLL under Wine against the Linux peers, through the
// prefix's real Winsock, Schannel, chain engine and NTLM package: a delivery
// over verified STARTTLS read back by Python's email package, each certificate
// problem with its code and its waiver, NTLM, and the network log at a UDP
// listener. Where Wine is not Windows, a substitute for one import of the DLL
// answers as Windows does (ImportPatch), everything else real:
//  - Wine's SSL policy lets a chain that ends short of a root pass and compares
//    DNS names only: the policy's answer gets Windows' CERT_E_CHAINING for a
//    partial chain and its match of an IPv4 literal with the certificate's
//    addresses;
//  - Wine's NTLM package has no logged-on user: the provider's request for the
//    session user's credentials is answered with the test account.
#include <winsock2.h>
#include <ws2tcpip.h>
// After windows.h (by winsock2.h), whose types they use.
#include <wincrypt.h>
#define SECURITY_WIN32
#include <security.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "NetworkLogListener.h"
#include "WineSendFixture.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// HTML with two attachments over STARTTLS and AUTH LOGIN; text parts and the
// other mechanisms are the session tests' part, which run under Wine too.
TEST_F(WineSendTest, DeliversHtmlAndAttachmentsOverVerifiedStartTls) {
    std::string bytes(300 * 1024, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((i * 2654435761u) >> 13);  // every byte value, no simple count
    const std::string binary = WriteFile("image.bin", bytes);
    const std::string notes = WriteFile("notes.txt", "line one\r\nline two\nline three\r\n");
    Configure(Peer("good", kAuthLogin));
    const std::string marker = NewMarker();
    HostMessage message;
    message.Subject(u"Gr\u00fc\u00dfe aus K\u00f6ln \u2013 \u00d1and\u00fa")
        .To(u"J\u00fcrgen M\u00fcller", FromUtf8(marker + "@example.org").c_str())
        .Cc(nullptr, u"cc@example.org")
        .Body(u"<html><body><p>Gr\u00fc\u00dfe</p><p style=\"color: red\">=rot=</p></body></html>")
        .ContentType(u"text/html")
        .Attach(WindowsPathOf(binary), u"image.bin")
        .Attach(WindowsPathOf(notes), u"notes.txt");
    ASSERT_EQ(Send(message.Record()), MAILERR_OK) << ToUtf8(Description());
    EXPECT_EQ(LastChainProblems(), 0u) << "the chain did not end at the trusted test CA";
    std::string expected = R"({"subject": "Gr\u00fc\u00dfe aus K\u00f6ln \u2013 \u00d1and\u00fa",
        "from": ["Wine Sender", "wine-sender@example.org"],
        "to": [["J\u00fcrgen M\u00fcller", "MARKER@example.org"]], "cc": [["", "cc@example.org"]],
        "mail_from": "wine-sender@example.org", "rcpt_tos": ["MARKER@example.org", "cc@example.org"],
        "message_id": "example.org", "header_lines": 998,
        "envelope": {"tls": true, "auth_user": "USER"},
        "html": "<html><body><p>Gr\u00fc\u00dfe</p><p style=\"color: red\">=rot=</p></body></html>",
        "attachments": [{"filename": "image.bin", "path": "image.bin"},
                        {"filename": "notes.txt", "path": "notes.txt"}]})";
    for (const auto& [name, value] :
         {std::pair{"MARKER", marker}, {"MARKER", marker}, {"USER", PeerValue("account.user")}})
        expected.replace(expected.find(name), std::strlen(name), value);
    EXPECT_TRUE(Stored(marker, expected));
}

// Whether the leaf certificate holds the IPv4 address among its alternative names.
bool LeafHoldsAddress(PCCERT_CHAIN_CONTEXT chain, const IN_ADDR& address) {
    const CERT_INFO* info = chain->rgpChain[0]->rgpElement[0]->pCertContext->pCertInfo;
    const CERT_EXTENSION* names =
        ::CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    CERT_ALT_NAME_INFO* decoded = nullptr;
    DWORD cb = 0;
    if (names == nullptr || !::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME,
                                                   names->Value.pbData, names->Value.cbData,
                                                   CRYPT_DECODE_ALLOC_FLAG, nullptr, &decoded, &cb))
        return false;
    bool bFound = false;
    for (DWORD i = 0; i < decoded->cAltEntry; ++i) {
        const CERT_ALT_NAME_ENTRY& e = decoded->rgAltEntry[i];
        bFound |= e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
                  e.IPAddress.cbData == sizeof address &&
                  std::memcmp(e.IPAddress.pbData, &address, sizeof address) == 0;
    }
    ::LocalFree(decoded);
    return bFound;
}

// The real SSL policy with Windows' two answers that Wine's lacks (above);
// it notes the server name and checks that the provider asked for.
struct WindowsSslPolicy {
    static inline ImportPatch* patch = nullptr;
    static inline std::vector<std::wstring> serverNames;
    static inline std::vector<DWORD> checks;

    static BOOL WINAPI Verify(LPCSTR policy, PCCERT_CHAIN_CONTEXT chain,
                              PCERT_CHAIN_POLICY_PARA para, PCERT_CHAIN_POLICY_STATUS status) {
        const BOOL bDone = patch->Original<decltype(&::CertVerifyCertificateChainPolicy)>()(
            policy, chain, para, status);
        if (!bDone || policy != CERT_CHAIN_POLICY_SSL || para == nullptr ||
            para->pvExtraPolicyPara == nullptr)
            return bDone;
        const auto* ssl =
            static_cast<const SSL_EXTRA_CERT_CHAIN_POLICY_PARA*>(para->pvExtraPolicyPara);
        const std::wstring name = ssl->pwszServerName != nullptr ? ssl->pwszServerName : L"";
        serverNames.push_back(name);
        checks.push_back(ssl->fdwChecks);
        IN_ADDR address{};
        if (ssl->dwAuthType != AUTHTYPE_SERVER)
            return bDone;
        if (status->dwError == 0 &&
            (chain->TrustStatus.dwErrorStatus & CERT_TRUST_IS_PARTIAL_CHAIN) != 0 &&
            (ssl->fdwChecks & 0x100) == 0)  // SECURITY_FLAG_IGNORE_UNKNOWN_CA
            status->dwError = static_cast<DWORD>(CERT_E_CHAINING);
        else if (static_cast<HRESULT>(status->dwError) == CERT_E_CN_NO_MATCH &&
                 ::InetPtonW(AF_INET, name.c_str(), &address) == 1 &&
                 LeafHoldsAddress(chain, address))
            status->dwError = 0;
        return bDone;
    }
};

TEST_F(WineSendTest, EachCertificateProblemHasItsCodeAndItsWaiver) {
    ImportPatch patch(Provider(), "CRYPT32.dll", "CertVerifyCertificateChainPolicy",
                      reinterpret_cast<const void*>(&WindowsSslPolicy::Verify));
    ASSERT_EQ(patch.Error(), "");
    WindowsSslPolicy::patch = &patch;
    struct Row {
        const char* peer;
        const char* host;
        unsigned flags;
        uint32_t policyError;  // 0: delivered
    };
    const Row rows[] = {
        {"good", "localhost", 0, 0},
        {"wrongname", "localhost", 0, 0x800B010F},
        {"wrongname", "localhost", 0x1000, 0},
        {"expired", "localhost", 0, 0x800B0101},
        {"expired", "localhost", 0x2000, 0},
        {"untrusted", "localhost", 0, 0x800B0109},
        {"untrusted", "localhost", 0x100, 0},
        // Nothing is examined: a self-signed certificate for another name passes.
        {"untrusted", "127.0.0.1", 0x4000, 0},
        // Without the intermediate: Windows' answer (Wine's lets it pass).
        {"partialchain", "localhost", 0, 0x800B010A},
        {"partialchain", "localhost", 0x100, 0},
        // The intermediate the server sends goes to the chain engine.
        {"fullchain", "localhost", 0, 0},
        // An address as the host: no name to resolve, the literal is the name
        // the certificate must hold (Windows' match; Wine's compares DNS names).
        {"good", "127.0.0.1", 0, 0},
        {"wrongname", "127.0.0.1", 0, 0x800B010F},
        {"wrongname", "127.0.0.1", 0x1000, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.peer) + " as " + row.host + " flags " +
                     std::to_string(row.flags));
        StoreSettings settings = Peer(row.peer);
        settings.host = row.host;
        settings.certFlags = row.flags;
        Configure(settings);
        WindowsSslPolicy::serverNames.clear();
        WindowsSslPolicy::checks.clear();
        ExpectDeliveredOrRefusedByPolicy(row.policyError);
        if (row.flags == 0x4000) {
            EXPECT_THAT(WindowsSslPolicy::checks, IsEmpty());
            continue;
        }
        EXPECT_THAT(WindowsSslPolicy::serverNames,
                    ElementsAre(std::wstring(row.host, row.host + std::strlen(row.host))));
        EXPECT_THAT(WindowsSslPolicy::checks, ElementsAre(row.flags));
    }
}

// Wine's NTLM package (winbind's ntlm_auth) has no credentials of a logged-on
// user, which the provider asks for as on Windows (single sign-on). The
// substitute for its import of AcquireCredentialsHandleW counts the requests
// for the session user (no principal, logon id or identity) and hands the
// real package the test account, as a Windows logon session would hold it.
struct SessionUser {
    static inline ImportPatch* patch = nullptr;
    static inline std::wstring user, domain, password;
    static inline int nCalls = 0;
    static inline int nAskedForSessionUser = 0;

    static SECURITY_STATUS SEC_ENTRY Acquire(LPWSTR principal, LPWSTR package, unsigned long use,
                                             void* logonId, void* authData, SEC_GET_KEY_FN getKey,
                                             void* getKeyArgument, PCredHandle credential,
                                             PTimeStamp expiry) {
        ++nCalls;
        nAskedForSessionUser += principal == nullptr && logonId == nullptr && authData == nullptr &&
                                package != nullptr && std::wstring(package) == L"NTLM" &&
                                use == SECPKG_CRED_OUTBOUND;
        auto text = [](std::wstring& s) { return reinterpret_cast<unsigned short*>(s.data()); };
        auto size = [](std::wstring& s) { return static_cast<unsigned long>(s.size()); };
        SEC_WINNT_AUTH_IDENTITY_W identity{text(user),
                                           size(user),
                                           text(domain),
                                           size(domain),
                                           text(password),
                                           size(password),
                                           SEC_WINNT_AUTH_IDENTITY_UNICODE};
        return patch->Original<ACQUIRE_CREDENTIALS_HANDLE_FN_W>()(principal, package, use, logonId,
                                                                  &identity, getKey, getKeyArgument,
                                                                  credential, expiry);
    }
};

TEST_F(WineSendTest, NtlmLogsOnWithTheSessionUsersCredentials) {
    ImportPatch patch(Provider(), "Secur32.dll", "AcquireCredentialsHandleW",
                      reinterpret_cast<const void*>(&SessionUser::Acquire));
    ASSERT_EQ(patch.Error(), "");
    SessionUser::patch = &patch;
    auto wide = [](const std::string& s) { return std::wstring(s.begin(), s.end()); };
    SessionUser::domain = wide(PeerValue("ntlm.domain"));
    SessionUser::user = wide(PeerValue("ntlm.user"));
    Configure(StoreSettings{"localhost", std::stoi(PeerValue("port.ntlm")), kAuthNtlm, false, 0,
                            "not-used", "not used either"});
    auto said = [](const std::string& text) {
        return AskPeers("said ntlm " + text) == std::vector<std::string>{"yes"};
    };

    for (const bool bRight : {true, false}) {
        SCOPED_TRACE(bRight ? "the account's password" : "a wrong password");
        SessionUser::password = wide(PeerValue("ntlm.password") + (bRight ? "" : "x"));
        SessionUser::nCalls = SessionUser::nAskedForSessionUser = 0;
        const std::string marker = NewMarker();
        HostMessage message = Simple(marker);
        EXPECT_EQ(Send(message.Record()), bRight ? MAILERR_OK : MAILERR_ACCESS_DENIED)
            << ToUtf8(Description());
        EXPECT_EQ(said("to <" + marker + "@example.org>"), bRight);
        EXPECT_TRUE(said(bRight ? "AUTH NTLM accepted" : "AUTH NTLM refused"));
        if (!bRight) {
            EXPECT_NE(Description().find(
                          u"TSMTPConnection::AuthenticateNTLM; Authentication unsuccesful!"),
                      std::u16string::npos)
                << ToUtf8(Description());
        }
        EXPECT_EQ(SessionUser::nCalls, 1);
        EXPECT_EQ(SessionUser::nAskedForSessionUser, 1) << "the provider names no user of its own";
    }
}

// The network log's datagrams reach a UDP listener that the registry names:
// the record of a failed send (a refused connection, with Winsock's number),
// at its level, with the native code in hex. The log reads its settings once
// per process, as CTest runs each test.
TEST_F(WineSendTest, NetworkLogReachesTheListenerTheRegistryNames) {
    NetworkLogListener listener;
    listener.PointTheLogHere(HKEY_CURRENT_USER, 3);
    int port = 0;
    CloseSocket(BindLoopback(port, false));  // nobody listens there
    Configure(StoreSettings{"127.0.0.1", port});
    HostMessage message = Simple(NewMarker());
    ASSERT_EQ(Send(message.Record()), MAILERR_ACCESS_DENIED);
    ExpectLastError(MAILERR_ACCESS_DENIED,
                    kConnecting + u"Cannot establish a connection to a specified socket!",
                    WSAECONNREFUSED);
    const std::string record =
        "<3>Code=509, Description '" + ToUtf8(Description()) + "', NativeCode=0x274D\n";
    std::string datagram;
    bool bLogged = false;
    while (!bLogged && !(datagram = listener.Next()).empty())
        bLogged = datagram == record;
    EXPECT_TRUE(bLogged) << record;
}

}  // namespace
