// The paths Wine cannot show, each on a substituted function of the DLL's
// own imports (ImportPatch), everything else real:
//  - TLS 1.3 post-handshake messages and SEC_I_RENEGOTIATE: Wine's Schannel
//    speaks TLS 1.2 at most and never renegotiates, so SCHANNEL.DLL's table
//    is the scripted package's (ScriptedSchannel.h), its peer a scripted server;
//  - a partial chain (CERT_E_CHAINING) and IP-literal server names: Wine's SSL
//    policy lets a chain that ends short of a root pass and compares DNS names
//    only, so a substitute for CertVerifyCertificateChainPolicy adds what
//    Windows' policy answers there to the real policy's answer;
// a read-only HKEY_LOCAL_MACHINE is the store's test (CMailCfgTest.cpp).
// Single sign-on without explicit credentials is the NTLM test's (the
// provider's request for the session user, SendUnderWineTest.cpp).
#include <winsock2.h>
#include <ws2tcpip.h>
// After windows.h (by winsock2.h), whose types they use.
#include <wincrypt.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ImportPatch.h"
#include "LogCapture.h"
#include "NetworkLogListener.h"
#include "ScratchDir.h"
#include "ScratchRegistry.h"
#include "ScriptedSchannel.h"
#include "ScriptedSmtpServer.h"
#include "SystemText.h"
#include "WineSendFixture.h"
#include "config/CMailCfg.h"

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// ----- Schannel after the handshake -------------------------------------------

struct SchannelTable {
    static inline ImportPatch* patch = nullptr;

    static FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
        if (HIWORD(reinterpret_cast<ULONG_PTR>(name)) != 0 &&
            std::strcmp(name, "InitSecurityInterfaceW") == 0 &&
            module == ::GetModuleHandleW(L"schannel.dll"))
            return reinterpret_cast<FARPROC>(
                reinterpret_cast<void*>(&scripted_schannel::InitSecurityInterfaceW));
        return patch->Original<decltype(&::GetProcAddress)>()(module, name);
    }
};

// Adds the step that writes the bytes: whole, or in pieces.
using Deliver = std::function<void(ScriptedSmtpServer&, const std::string&)>;

// STARTTLS and a whole session over the scripted package, with every message
// the server's side of TLS 1.3 or 1.2 may send after the handshake: a session
// ticket alone, a ticket in one piece with a reply, a key update that wants
// an answer, and a renegotiation.
void PostHandshakeDialogue(ScriptedSmtpServer& s, const Deliver& deliver) {
    using scripted_schannel::Application;
    using scripted_schannel::kHandshake;
    using scripted_schannel::Record;
    auto send = [&](const std::string& bytes) { deliver(s, bytes); };
    s.Send("220 mail.test\r\n")
        .Expect("EHLO")
        .Send("250-mail.test\r\n250-STARTTLS\r\n250 AUTH PLAIN\r\n")
        .Exchange("STARTTLS", "220 go ahead\r\n")
        .ExpectText("CLIENT-HELLO");
    send(Record(kHandshake, "SERVER-HELLO"));
    s.ExpectText("CLIENT-FINISHED");
    send(Record(kHandshake, "TICKET"));
    s.ExpectText("EHLO ");
    send(Record(kHandshake, "TICKET") + Application("250-mail.test\r\n250 AUTH PLAIN\r\n"));
    s.ExpectText("AUTH PLAIN\r\n");
    send(Application("334 \r\n"));
    s.ExpectText("AHUAcA==\r\n");  // "\0u\0p"
    send(Application("235 ok\r\n"));
    s.ExpectText("MAIL FROM:");
    send(Record(kHandshake, "KEY-UPDATE"));
    s.ExpectText("KEY-UPDATE-ANSWER");
    send(Application("250 ok\r\n"));
    s.ExpectText("RCPT TO:");
    send(Record(kHandshake, "HELLO-REQUEST"));
    s.ExpectText("CLIENT-HELLO-2");
    send(Record(kHandshake, "SERVER-HELLO-2"));
    s.ExpectText("CLIENT-FINISHED-2");
    send(Application("250 ok\r\n"));
    s.ExpectText("DATA\r\n");
    send(Application("354 go ahead\r\n"));
    s.ExpectText("\r\n.\r\n");
    send(Application("250 queued\r\n"));
    s.ExpectText("QUIT\r\n");
    send(Application("221 bye\r\n"));
    s.ExpectText("CLOSE");
}

TEST_F(WineSendTest, HandshakeMessagesAfterTheHandshakeNeverEndARead) {
    ImportPatch patch(Provider(), "KERNEL32.dll", "GetProcAddress",
                      reinterpret_cast<const void*>(&SchannelTable::GetProcAddress));
    ASSERT_EQ(patch.Error(), "");
    SchannelTable::patch = &patch;
    struct Row {
        const char* what;
        Deliver deliver;
    };
    const Row rows[] = {
        {"records whole", [](ScriptedSmtpServer& s, const std::string& bytes) { s.Send(bytes); }},
        {"a byte per segment",
         [](ScriptedSmtpServer& s, const std::string& bytes) {
             std::vector<std::string> pieces;
             for (char c : bytes)
                 pieces.emplace_back(1, c);
             s.SendSegments(pieces, std::chrono::milliseconds(1));
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        scripted_schannel::TheJournal() = scripted_schannel::Journal{};
        ScriptedSmtpServer server;
        PostHandshakeDialogue(server, row.deliver);
        StoreSettings settings;
        settings.host = "127.0.0.1";
        settings.port = server.Start();
        settings.auth = kAuthPlain;
        settings.bStartTls = true;
        settings.user = "u";
        settings.password = "p";
        settings.certFlags = 0x4000;  // the scripted package has no certificate to show
        Configure(settings);
        const std::string marker = NewMarker();
        HostMessage message = Simple(marker);
        EXPECT_EQ(Send(message.Record()), MAILERR_OK) << ToUtf8(Description());
        ASSERT_TRUE(server.Finish());
        EXPECT_THAT(server.Errors(), IsEmpty());

        const scripted_schannel::Journal& journal = scripted_schannel::TheJournal();
        EXPECT_THAT(journal.refusals, IsEmpty());
        // Each message went to DecryptMessage once and then to the handshake.
        EXPECT_THAT(journal.events,
                    ElementsAre("ISC start", "ISC SERVER-HELLO", "decrypt TICKET", "ISC TICKET",
                                "decrypt TICKET", "ISC TICKET", "decrypt KEY-UPDATE",
                                "ISC KEY-UPDATE", "decrypt HELLO-REQUEST", "ISC HELLO-REQUEST",
                                "ISC SERVER-HELLO-2", "shutdown", "ISC shutdown"));
        EXPECT_EQ(journal.targetName, L"127.0.0.1");
        EXPECT_NE(journal.plaintextSent.find("Subject: Wine " + marker), std::string::npos);
        EXPECT_EQ(journal.nContexts, 0) << "the context was deleted";
        EXPECT_EQ(journal.nCredentials, 0) << "the credentials were freed";
    }
}

// ----- Windows' answers of the SSL chain policy --------------------------------

// Whether the leaf certificate holds the IPv4 address among its alternative names.
bool LeafHoldsAddress(PCCERT_CHAIN_CONTEXT chain, const IN_ADDR& address) {
    if (chain->cChain == 0 || chain->rgpChain[0]->cElement == 0)
        return false;
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

// The real policy, with two answers of Windows' that Wine's lacks: a chain
// that ends short of a trusted root is CERT_E_CHAINING (unless unknown CAs
// are waived), and a server name that is an IPv4 literal matches the
// certificate's IP addresses. It notes what the provider asked.
struct WindowsSslPolicy {
    static constexpr DWORD kIgnoreUnknownCa = 0x100;  // SECURITY_FLAG_IGNORE_UNKNOWN_CA

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
        if (ssl->dwAuthType != AUTHTYPE_SERVER)
            return bDone;
        IN_ADDR address{};
        if (status->dwError == 0 &&
            (chain->TrustStatus.dwErrorStatus & CERT_TRUST_IS_PARTIAL_CHAIN) != 0 &&
            (ssl->fdwChecks & kIgnoreUnknownCa) == 0)
            status->dwError = static_cast<DWORD>(CERT_E_CHAINING);
        else if (static_cast<HRESULT>(status->dwError) == CERT_E_CN_NO_MATCH &&
                 ::InetPtonW(AF_INET, name.c_str(), &address) == 1 &&
                 LeafHoldsAddress(chain, address))
            status->dwError = 0;
        return bDone;
    }
};

TEST_F(WineSendTest, PartialChainsAndAddressLiteralsGetWindowsAnswers) {
    ASSERT_EQ(GoodPeerChainProblems(), 0u) << "the prefix does not trust the test CA";
    ImportPatch patch(Provider(), "CRYPT32.dll", "CertVerifyCertificateChainPolicy",
                      reinterpret_cast<const void*>(&WindowsSslPolicy::Verify));
    ASSERT_EQ(patch.Error(), "");
    WindowsSslPolicy::patch = &patch;
    struct Row {
        const char* peer;  // its certificate (partialchain: without the intermediate)
        const char* host;
        unsigned flags;
        uint32_t policyError;  // 0: delivered
    };
    const Row rows[] = {
        {"partialchain", "localhost", 0, 0x800B010A},
        {"partialchain", "localhost", 0x100, 0},
        // The intermediate the server sends goes to the chain engine.
        {"fullchain", "localhost", 0, 0},
        // An address as the host: no name to resolve, the literal is the
        // name the certificate must hold.
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
        const std::wstring host(row.host, row.host + std::strlen(row.host));
        EXPECT_THAT(WindowsSslPolicy::serverNames, ElementsAre(host));
        EXPECT_THAT(WindowsSslPolicy::checks, ElementsAre(row.flags));
    }
}

}  // namespace
