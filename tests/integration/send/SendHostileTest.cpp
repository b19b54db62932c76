// Mail_Send against servers that misbehave: every way a server could hold
// the host's thread, grow its memory or pass a refusal for a success ends
// within the session's limit (shortened here through SMTPMAIL_TIMEOUT_MS)
// plus a small margin, with a code and a text that says what happened, and
// without a goodbye that nobody would answer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "Environment.h"
#include "ScriptedSmtpServer.h"
#include "SendFixture.h"

namespace {

using std::chrono::milliseconds;
using ::testing::Contains;

// Greeting, EHLO with STARTTLS offered, and the STARTTLS command.
ScriptedSmtpServer& UpToStartTls(ScriptedSmtpServer& server) {
    return server.Send("220 mail.test\r\n")
        .Expect("EHLO")
        .Send("250-mail.test\r\n250-STARTTLS\r\n250 AUTH PLAIN\r\n")
        .Expect("STARTTLS");
}

struct HostileServer {
    const char* what;
    bool bTls;  // STARTTLS and AUTH PLAIN configured
    // A scripted server in this process, or a peer of that name (STARTTLS and
    // AUTH PLAIN with the test CA's certificate, misbehaving after the handshake).
    std::function<void(ScriptedSmtpServer&)> script;
    MAILRESULT code;
    const char16_t* text;     // the session's own words that open the description
    int64_t native;           // -1: not looked at
    double maxSeconds = 2.5;  // the limit and a margin, not two limits
    bool bQuit = false;       // a goodbye belongs to the dialogue
    bool bLargeMessage = false;
    const char* limit = "1500";  // SMTPMAIL_TIMEOUT_MS
    double minSeconds = 0;
    bool bMemory = false;  // the process's peak memory must not follow the server
};

class SendHostileTest : public SendFixture {};

#if defined(_WIN32)
constexpr int64_t kTlsAlert = -1;
#else
constexpr int64_t kTlsAlert = 0x80090331;  // SEC_E_ALGORITHM_MISMATCH
#endif

TEST_F(SendHostileTest, EveryMisbehaviourEndsWithinTheLimit) {
    const HostileServer rows[] = {
        {"no greeting", false, [](ScriptedSmtpServer& s) { s.StaySilent(); }, MAILERR_ACCESS_DENIED,
         u"Timed out after 1500 ms: no greeting from the server.", 10060},
        {"a reply dripped a byte at a time", false,
         [](ScriptedSmtpServer& s) {
             s.Send("220 mail.test\r\n")
                 .Expect("EHLO")
                 .SendSegments(Dripped("250 hello there\r\n"), milliseconds(150));
         },
         MAILERR_ACCESS_DENIED, u"Timed out after 1500 ms: no complete reply to EHLO.", 10060},
        {"the last line of a reply never comes", false,
         [](ScriptedSmtpServer& s) {
             Helo(s).Exchange("MAIL FROM:", "250-sender ok\r\n250-more to come\r\n").StaySilent();
         },
         MAILERR_SEND, u"Timed out after 1500 ms: no complete reply to MAIL FROM.", 10060},
        {"the server stops reading the message", false,
         [](ScriptedSmtpServer& s) { UpToData(Helo(s)).StopReading(milliseconds(3000)); },
         MAILERR_SEND, u"Timed out after 1500 ms: sending the message data.", 10060, 2.5, false,
         true},
        {"a refusal that mentions 250", false,
         [](ScriptedSmtpServer& s) {
             Helo(s)
                 .Exchange("MAIL FROM:", "250 ok\r\n")
                 .Exchange("RCPT TO:",
                           "550 5.1.1 <bob250@example.org>: Recipient address rejected\r\n")
                 .Exchange("QUIT", "221 bye\r\n");
         },
         MAILERR_SEND,
         u"Unexpected RCPT TO response!. Last Response : 550 5.1.1 <bob250@example.org>: "
         u"Recipient address rejected\r\n",
         0, 2.5, true},
        {"the TLS handshake stalls", true,
         [](ScriptedSmtpServer& s) { UpToStartTls(s).Send("220 go ahead\r\n").StaySilent(); },
         MAILERR_ACCESS_DENIED, u"Timed out after 1500 ms: the TLS handshake.", 10060},
        // Half a TLS record, then silence.
        {"partialrecord", true, nullptr, MAILERR_ACCESS_DENIED,
         u"Timed out after 1500 ms: no complete reply to EHLO.", 10060},
        // The server stops reading the message over TLS.
        {"stopreading", true, nullptr, MAILERR_SEND,
         u"Timed out after 1500 ms: sending the message data.", 10060, 2.5, false, true},
        // An alert instead of the server's side of the handshake ends the
        // session at once: no plain-text QUIT goes into a channel that is no
        // longer plain SMTP. (A fatal handshake_failure alert record of TLS
        // 1.2, once the client has had the time to start its handshake.)
        {"a TLS alert", true,
         [](ScriptedSmtpServer& s) {
             UpToStartTls(s)
                 .SendSegments({"220 go ahead\r\n", std::string("\x15\x03\x03\x00\x02\x02\x28", 7)},
                               milliseconds(300))
                 .StaySilent();
         },
         // The SEC_E_ value is the TLS package's: Wine's differs from Windows'.
         MAILERR_ACCESS_DENIED, u"The TLS handshake failed.", kTlsAlert, 1.0},
        // After a refusal the working server still gets its QUIT, but the host
        // waits for the answer a few seconds at most, whatever the limit.
        {"an unanswered QUIT after a refusal", false,
         [](ScriptedSmtpServer& s) {
             Helo(s).Exchange("MAIL FROM:", "553 5.7.1 sender refused\r\n").StaySilent();
         },
         MAILERR_SEND, u"", -1, 8.0, true, false, "20000", 4.5},
        // A reply that never ends stops at 64 KiB.
        {"an endless reply", false,
         [](ScriptedSmtpServer& s) {
             s.Send("220 mail.test\r\n")
                 .Expect("EHLO")
                 .SendForever("250-" + std::string(60, 'x') + "\r\n");
         },
         MAILERR_ACCESS_DENIED, u"The server's reply is too long.\n", 0, 2.5, false, false, "1500",
         0, true},
        {"endless", true, nullptr, MAILERR_ACCESS_DENIED, u"The server's reply is too long.\n", 0,
         2.5, false, false, "1500", 0, true},
    };
    // Large enough to fill the buffers of both ends of a loopback connection;
    // sparse, so that the memory rows' peak is not this test's own.
    const std::string large = WriteFile("large.bin", "");
    std::filesystem::resize_file(large, 32u << 20);
    for (const HostileServer& row : rows) {
        SCOPED_TRACE(row.what);
        ScopedEnv limit({{"SMTPMAIL_TIMEOUT_MS", row.limit}});
        ScriptedSmtpServer server;
        if (row.script) {
            row.script(server);
            const int port = server.Start();
            if (row.bTls)
                Configure(StoreSettings{"127.0.0.1", port, kAuthPlain, true, 0, "u", "p"});
            else
                WriteIni(ServerIni(port));
        } else {
            Configure(Peer(row.what));
        }
        HostMessage message = SimpleText();
        if (row.bLargeMessage)
            message.Attach(large);
        const uint64_t before = PeakMemoryBytes();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Send(message.Record()), row.code);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const uint64_t growth = PeakMemoryBytes() - before;
        EXPECT_LT(seconds, row.maxSeconds);
        EXPECT_GE(seconds, row.minSeconds);
        ExpectLastError(row.code, (row.code == MAILERR_SEND ? kSending : kConnecting) + row.text,
                        row.native, false);
        std::vector<std::string> commands;
        if (row.script) {
            ASSERT_TRUE(server.Finish());
            EXPECT_THAT(server.Errors(), ::testing::IsEmpty());
            commands = server.Commands();
        } else {
            commands = AskPeers(std::string("connection ") + row.what);
            EXPECT_THAT(commands, Contains("closed")) << "the provider closed the connection";
        }
        EXPECT_EQ(std::count(commands.begin(), commands.end(), "QUIT"), row.bQuit ? 1 : 0);
        EXPECT_EQ(!commands.empty() && commands.back() == "QUIT", row.bQuit) << "the last command";
        if (row.bMemory) {
            EXPECT_LT(growth, 8u << 20) << "bytes of peak growth";
        }
        Close();
    }
}

}  // namespace
