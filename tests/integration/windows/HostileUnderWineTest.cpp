// The socket rows of the hostile servers under Wine: Winsock's deadlines (each
// step within SMTPMAIL_TIMEOUT_MS, shortened here) over plain TCP and over the
// real Schannel, the server's refusal with Winsock's own number, and a reply
// that never ends, refused at 64 KiB without the memory following it. The
// plain servers are scripted in this process; the TLS ones that misbehave
// after the handshake are Linux peers.
#include <windows.h>
// After windows.h, whose types it uses.
#include <psapi.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "Environment.h"
#include "LogCapture.h"
#include "ScriptedSmtpServer.h"
#include "WineSendFixture.h"

namespace {

using ::testing::Contains;
using ::testing::Not;

constexpr int kLimitMs = 1500;

class HostileUnderWineTest : public WineSendTest {
protected:
    ScopedEnv m_limit{{"SMTPMAIL_TIMEOUT_MS", "1500"}};
};

struct HostileRow {
    const char* what;
    // A scripted server in this process, or a Linux peer of that name
    // (STARTTLS and AUTH PLAIN with the test CA's certificate).
    std::function<void(ScriptedSmtpServer&)> script;
    const char* peer;
    MAILRESULT code;
    const char16_t* text;  // the session's own words in the description
    uint32_t native;
    bool bLargeMessage = false;
    bool bStartTls = false;  // the scripted server offers STARTTLS
    bool bMemory = false;    // the process's peak memory must not follow the server
};

TEST_F(HostileUnderWineTest, EveryHostileServerIsLeftWithinTheLimitWithoutAGoodbye) {
    const HostileRow rows[] = {
        {"no greeting", [](ScriptedSmtpServer& s) { s.StaySilent(); }, nullptr,
         MAILERR_ACCESS_DENIED, u"Timed out after 1500 ms: no greeting from the server.", 10060},
        {"a reply dripped a byte at a time",
         [](ScriptedSmtpServer& s) {
             s.Send("220 mail.test\r\n")
                 .Expect("EHLO")
                 .SendSegments(Dripped("250 hello there\r\n"), std::chrono::milliseconds(150));
         },
         nullptr, MAILERR_ACCESS_DENIED, u"Timed out after 1500 ms: no complete reply to EHLO.",
         10060},
        {"the last line of a reply never comes",
         [](ScriptedSmtpServer& s) {
             Helo(s).Exchange("MAIL FROM:", "250-sender ok\r\n250-more to come\r\n").StaySilent();
         },
         nullptr, MAILERR_SEND, u"Timed out after 1500 ms: no complete reply to MAIL FROM.", 10060},
        {"the server stops reading the message",
         [](ScriptedSmtpServer& s) {
             Helo(s)
                 .Exchange("MAIL FROM:", "250 ok\r\n")
                 .Exchange("RCPT TO:", "250 ok\r\n")
                 .Exchange("DATA", "354 go ahead\r\n")
                 .StopReading(std::chrono::milliseconds(kLimitMs + 1500));
         },
         nullptr, MAILERR_SEND, u"Timed out after 1500 ms: sending the message data.", 10060, true},
        {"the TLS handshake stalls",
         [](ScriptedSmtpServer& s) {
             s.Send("220 mail.test\r\n")
                 .Expect("EHLO")
                 .Send("250-mail.test\r\n250-STARTTLS\r\n250 AUTH PLAIN\r\n")
                 .Exchange("STARTTLS", "220 go ahead\r\n")
                 .StaySilent();
         },
         nullptr, MAILERR_ACCESS_DENIED, u"Timed out after 1500 ms: the TLS handshake.", 10060,
         false, true},
        {"half a TLS record, then silence", nullptr, "partialrecord", MAILERR_ACCESS_DENIED,
         u"Timed out after 1500 ms: no complete reply to EHLO.", 10060},
        {"the server stops reading the message over TLS", nullptr, "stopreading", MAILERR_SEND,
         u"Timed out after 1500 ms: sending the message data.", 10060, true},
        {"a reply that never ends, refused at 64 KiB",
         [](ScriptedSmtpServer& s) {
             s.Send("220 mail.test\r\n")
                 .Expect("EHLO")
                 .SendForever("250-" + std::string(60, 'x') + "\r\n");
         },
         nullptr, MAILERR_ACCESS_DENIED, u"The server's reply is too long.\n", 0, false, false,
         true},
    };
    // Large enough to fill the buffers of both ends of a loopback connection.
    const std::string large = WindowsPathOf(WriteFile("large.bin", std::string(32u << 20, 'L')));
    for (const HostileRow& row : rows) {
        SCOPED_TRACE(row.what);
        ScriptedSmtpServer server;
        if (row.script)
            row.script(server);
        const bool bTls = row.bStartTls;
        Configure(row.script
                      ? StoreSettings{"127.0.0.1", server.Start(), bTls ? kAuthPlain : kAuthNone,
                                      bTls, 0, bTls ? "u" : "", bTls ? "p" : ""}
                      : Peer(row.peer));
        HostMessage message = Simple(NewMarker());
        if (row.bLargeMessage)
            message.Attach(large);
        PROCESS_MEMORY_COUNTERS before{}, after{};
        ::GetProcessMemoryInfo(::GetCurrentProcess(), &before, sizeof before);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Send(message.Record()), row.code);
        ::GetProcessMemoryInfo(::GetCurrentProcess(), &after, sizeof after);
        EXPECT_LT(row.bMemory ? after.PeakWorkingSetSize - before.PeakWorkingSetSize : 0, 8u << 20)
            << "bytes of peak growth";
        EXPECT_LT(std::chrono::steady_clock::now() - start,
                  std::chrono::milliseconds(kLimitMs + 1000))
            << "one limit and a margin, not two";
        ExpectLastError(row.code, (row.code == MAILERR_SEND ? kSending : kConnecting) + row.text,
                        row.native);
        std::vector<std::string> commands;
        if (row.script) {
            ASSERT_TRUE(server.Finish());
            EXPECT_THAT(server.Errors(), ::testing::IsEmpty());
            commands = server.Commands();
        } else {
            commands = AskPeers(std::string("commands ") + row.peer);
            EXPECT_THAT(commands, Contains("closed")) << "the provider closed the connection";
        }
        EXPECT_THAT(commands, Not(Contains("QUIT")));
    }
}

}  // namespace
