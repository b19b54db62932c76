// Mail_Send against servers that misbehave: every way a server could hold
// the host's thread, grow its memory or pass a refusal for a success ends
// within the session's limit (shortened here through SMTPMAIL_TIMEOUT_MS)
// plus a small margin, with a code and a text that says what happened, and
// without a goodbye that nobody would answer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "ScriptedSmtpServer.h"
#include "SendFixture.h"
#include "TestCertificates.h"

namespace {

using ::testing::Contains;
using ::testing::Not;

constexpr int kLimitMs = 1500;
constexpr const char* kLimit = "1500";

const std::u16string kConnecting =
    u"CSMTPMailAPI::Send() - An error occured connecting to server. ";
const std::u16string kSending = u"CSMTPMailAPI::Send() - An error occured sending the message. ";

ScriptedSmtpServer& UpToData(ScriptedSmtpServer& server) {
    return server.Exchange("MAIL FROM:", "250 ok\r\n")
        .Exchange("RCPT TO:", "250 ok\r\n")
        .Exchange("DATA", "354 go ahead\r\n");
}

// Greeting, STARTTLS and the handshake, as the TLS rows begin.
ScriptedSmtpServer& UpToTls(ScriptedSmtpServer& server) {
    return server.Send("220 mail.test\r\n")
        .Expect("EHLO")
        .Send("250-mail.test\r\n250-STARTTLS\r\n250 AUTH PLAIN\r\n")
        .Exchange("STARTTLS", "220 go ahead\r\n");
}

class SendHostileTest : public SendFixture {
protected:
    // Sends, and says how long it took.
    MAILRESULT TimedSend(const MAILMESSAGE* message, double& seconds) {
        const auto start = std::chrono::steady_clock::now();
        const MAILRESULT rc = Send(message);
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return rc;
    }

    ScopedEnv m_limit{{"SMTPMAIL_TIMEOUT_MS", kLimit}};
};

struct HostileServer {
    const char* what;
    bool bTls;
    std::function<void(ScriptedSmtpServer&)> script;
    MAILRESULT code;
    const char16_t* text;  // the session's own words in the description
    uint32_t native;
    bool bLargeMessage = false;
    bool bQuit = false;  // a goodbye belongs to the dialogue
};

TEST_F(SendHostileTest, EveryMisbehaviourEndsWithinTheLimit) {
    const HostileServer rows[] = {
        {"no greeting", false, [](ScriptedSmtpServer& s) { s.StaySilent(); }, MAILERR_ACCESS_DENIED,
         u"Timed out after 1500 ms: no greeting from the server.", 10060},
        {"a reply dripped a byte at a time", false,
         [](ScriptedSmtpServer& s) {
             s.Send("220 mail.test\r\n")
                 .Expect("HELO")
                 .SendSegments(Dripped("250 hello there\r\n"), std::chrono::milliseconds(150));
         },
         MAILERR_ACCESS_DENIED, u"Timed out after 1500 ms: no complete reply to HELO.", 10060},
        {"the last line of a reply never comes", false,
         [](ScriptedSmtpServer& s) {
             Helo(s).Exchange("MAIL FROM:", "250-sender ok\r\n250-more to come\r\n").StaySilent();
         },
         MAILERR_SEND, u"Timed out after 1500 ms: no complete reply to MAIL FROM.", 10060},
        {"the server stops reading the message", false,
         [](ScriptedSmtpServer& s) {
             UpToData(Helo(s)).StopReading(std::chrono::milliseconds(kLimitMs + 1500));
         },
         MAILERR_SEND, u"Timed out after 1500 ms: sending the message data.", 10060, true},
        {"a refusal that mentions 250", false,
         [](ScriptedSmtpServer& s) {
             Helo(s)
                 .Exchange("MAIL FROM:", "250 ok\r\n")
                 .Exchange("RCPT TO:",
                           "550 5.1.1 <bob250@example.org>: Recipient address "
                           "rejected\r\n")
                 .Exchange("QUIT", "221 bye\r\n");
         },
         MAILERR_SEND,
         u"Unexpected RCPT TO response!. Last Response : 550 5.1.1 <bob250@example.org>: "
         u"Recipient address rejected\r\n",
         0, false, true},
        {"the TLS handshake stalls", true, [](ScriptedSmtpServer& s) { UpToTls(s).StaySilent(); },
         MAILERR_ACCESS_DENIED, u"Timed out after 1500 ms: the TLS handshake.", 10060},
        {"half a TLS record, then silence", true,
         [](ScriptedSmtpServer& s) {
             UpToTls(s).StartTls().Expect("EHLO").SendPartialRecord(
                 "250-mail.test\r\n250 AUTH PLAIN\r\n");
         },
         MAILERR_ACCESS_DENIED, u"Timed out after 1500 ms: no complete reply to EHLO.", 10060},
        {"the server stops reading the message over TLS", true,
         [](ScriptedSmtpServer& s) {
             UpToTls(s)
                 .StartTls()
                 .Exchange("EHLO", "250-mail.test\r\n250 AUTH PLAIN\r\n")
                 .Exchange("AUTH PLAIN", "334 \r\n")
                 .Exchange("", "235 ok\r\n");
             UpToData(s).StopReading(std::chrono::milliseconds(kLimitMs + 1500));
         },
         MAILERR_SEND, u"Timed out after 1500 ms: sending the message data.", 10060, true},
    };
    // Large enough to fill the buffers of both ends of a loopback connection.
    const std::string large = WriteFile("large.bin", std::string(32u << 20, 'L'));
    for (const HostileServer& row : rows) {
        SCOPED_TRACE(row.what);
        ScriptedSmtpServer server;
        if (row.bTls)
            server.UseCertificate(testcerts::Path("server.pem"), testcerts::Path("server.key"));
        row.script(server);
        const int port = server.Start();
        if (row.bTls) {
            Configure("--host 127.0.0.1 --port " + std::to_string(port) +
                      " --starttls on --auth plain --user u --password p"
                      " --sender-address s@example.org");
        } else {
            WriteIni(ServerIni(port));
        }
        TrustStore trust(testcerts::Path("ca.pem"));
        HostMessage message = SimpleText();
        if (row.bLargeMessage)
            message.Attach(large);
        double seconds = 0;
        EXPECT_EQ(TimedSend(message.Record(), seconds), row.code);
        EXPECT_LT(seconds, kLimitMs / 1000.0 + 1.0) << "one limit and a margin, not two";
        const std::u16string& prefix = row.code == MAILERR_SEND ? kSending : kConnecting;
        ExpectLastError(row.code, prefix + row.text, row.native, false);
        ASSERT_TRUE(server.Finish());
        EXPECT_THAT(server.Errors(), ::testing::IsEmpty());
        if (row.bQuit)
            EXPECT_EQ(server.Commands().back(), "QUIT");
        else
            EXPECT_THAT(server.Commands(), Not(Contains("QUIT")));
        Close();
    }
}

// An alert instead of the server's side of the handshake ends the session at
// once: no plain-text QUIT goes into a channel that is no longer plain SMTP.
TEST_F(SendHostileTest, TlsAlertEndsTheSessionAtOnceWithoutAGoodbye) {
    ScriptedSmtpServer server;
    // A fatal handshake_failure alert record of TLS 1.2, once the client has
    // had the time to read the go-ahead and start its handshake.
    server.Send("220 mail.test\r\n")
        .Expect("EHLO")
        .Send("250-mail.test\r\n250-STARTTLS\r\n250 AUTH PLAIN\r\n")
        .Expect("STARTTLS")
        .SendSegments({"220 go ahead\r\n", std::string("\x15\x03\x03\x00\x02\x02\x28", 7)},
                      std::chrono::milliseconds(300))
        .StaySilent();
    Configure("--host 127.0.0.1 --port " + std::to_string(server.Start()) +
              " --starttls on --auth plain --user u --password p --sender-address s@example.org");
    double seconds = 0;
    EXPECT_EQ(TimedSend(SimpleText().Record(), seconds), MAILERR_ACCESS_DENIED);
    EXPECT_LT(seconds, 1.0);
    EXPECT_EQ(Description().substr(0, kConnecting.size()), kConnecting);
    ASSERT_TRUE(server.Finish());
    EXPECT_THAT(server.Commands(), Not(Contains("QUIT")));
}

// After a refusal the working server still gets its QUIT, but the host waits
// for the answer a few seconds at most, whatever the session's limit.
TEST_F(SendHostileTest, UnansweredQuitAfterARefusalCostsAtMostFiveSeconds) {
    ScopedEnv limit({{"SMTPMAIL_TIMEOUT_MS", "20000"}});
    ScriptedSmtpServer server;
    Helo(server).Exchange("MAIL FROM:", "553 5.7.1 sender refused\r\n").StaySilent();
    WriteIni(ServerIni(server.Start()));
    double seconds = 0;
    EXPECT_EQ(TimedSend(SimpleText().Record(), seconds), MAILERR_SEND);
    EXPECT_GE(seconds, 4.5);
    EXPECT_LT(seconds, 8.0);
    ASSERT_TRUE(server.Finish());
    EXPECT_EQ(server.Commands().back(), "QUIT");
}

// A reply that never ends stops at 64 KiB; the sending process's memory does
// not follow what the server writes.
TEST_F(SendHostileTest, EndlessReplyIsRefusedWithMemoryBounded) {
    ScriptedSmtpServer server;
    server.Send("220 mail.test\r\n")
        .Expect("HELO")
        .SendForever("250-" + std::string(60, 'x') + "\r\n");
    WriteIni(ServerIni(server.Start()));
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    EXPECT_EQ(Send(SimpleText().Record()), MAILERR_ACCESS_DENIED);
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    ExpectLastError(MAILERR_ACCESS_DENIED, kConnecting + u"The server's reply is too long.\n", 0);
    ASSERT_TRUE(server.Finish());
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 8 * 1024) << "kilobytes of peak growth";
    EXPECT_THAT(server.Commands(), Not(Contains("QUIT")));
}

}  // namespace
