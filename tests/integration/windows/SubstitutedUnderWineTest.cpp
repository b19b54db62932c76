// The paths Wine cannot show, each on a substituted function of the DLL's
// own imports (ImportPatch), everything else real:
//  - TLS 1.3 post-handshake messages and SEC_I_RENEGOTIATE: Wine's Schannel
//    speaks TLS 1.2 at most and never renegotiates, so SCHANNEL.DLL's table
//    is the scripted package's (ScriptedSchannel.h), its peer a scripted server;
//  - a partial chain (CERT_E_CHAINING) and IP-literal server names: Wine's SSL
//    policy lets a chain that ends short of a root pass and compares DNS names
//    only, so a substitute for CertVerifyCertificateChainPolicy adds what
//    Windows' policy answers there to the real policy's answer;
//  - a read-only HKEY_LOCAL_MACHINE: Wine's is writable, so substitutes for
//    the registry calls refuse its writes as Windows does for a user without
//    administrator rights.
// Single sign-on without explicit credentials is the NTLM test's (the
// provider's request for the session user, SendUnderWineTest.cpp).
#include <windows.h>
// After windows.h, whose types it uses.
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

HMODULE Provider() {
    return ::GetModuleHandleW(L"smtpmail.dll");
}

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

}  // namespace
