// Connections kept between sends (KeepAliveSeconds) against the scripted
// server: the next send starts with MAIL FROM, PIPELINING sends the envelope
// as one group, and a connection the server ended, one in doubt, one idle
// too long or one for other settings is replaced.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "ApiTestSupport.h"
#include "Environment.h"
#include "HostMessage.h"
#include "ScriptedSmtpServer.h"
#include "diag/HostLog.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;

namespace {

constexpr const char* kGreeting = "220 mail.test ESMTP ready\r\n";
constexpr const char* kEhloPipelining = "250-mail.test\r\n250 PIPELINING\r\n";

ScriptedSmtpServer& Transaction(ScriptedSmtpServer& server) {
    return UpToData(server).ExpectData().Send("250 2.0.0 queued\r\n");
}

class KeptConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetHostLogProvider(&m_log);
        MAILINIFLAGS flags = MakeIniFlags(&m_log, LoadTestHostModule(true));
        ASSERT_TRUE(m_api.Initialize(&flags));
        m_api.m_strHost = u"localhost";
        m_api.m_nAuthMethod = 0;
        m_api.m_nKeepAliveSeconds = 60;
    }
    void TearDown() override { SetHostLogProvider(nullptr); }

    // A message from alice to each recipient, with the last error's text
    // after a failure.
    MAILRESULT Send(std::initializer_list<const char16_t*> recipients = {u"bob@example.org"}) {
        HostMessage message;
        message.Originator(nullptr, u"alice@example.org").Body(u"Hello");
        for (const char16_t* pszTo : recipients)
            message.To(nullptr, pszTo);
        const MAILRESULT nResult = m_api.Send(message.Record(), nullptr);
        if (nResult != MAILERR_OK)
            m_errors.push_back(Text(m_api.GetLastError()->szDescription));
        return nResult;
    }

    // Ends the handle (its goodbye included) and checks the script ran whole.
    void Finish(ScriptedSmtpServer& server) {
        m_api.Uninitialize();
        EXPECT_TRUE(server.Finish());
        EXPECT_THAT(server.Errors(), IsEmpty());
    }

    ScopedEnv m_limit{{"SMTPMAIL_TIMEOUT_MS", "5000"}};
    CapturingLogProvider m_log;
    CSMTPMailAPI m_api;
    std::vector<std::u16string> m_errors;
};

// The next send starts with MAIL FROM (the envelope as one group, whose
// replies come in one segment); a refused recipient fails the send only
// after every reply is read, the next send resets first, and the handle's
// end says goodbye.
TEST_F(KeptConnectionTest, NextSendStartsWithMailFromAfterTheResetOfAFailedOne) {
    ScriptedSmtpServer server;
    server.Send(kGreeting)
        .Exchange("EHLO", kEhloPipelining)
        .Expect("MAIL FROM:<alice@")
        .Expect("RCPT TO:<bob@")
        .Expect("RCPT TO:<carol@")
        .Send("250 ok\r\n550 5.1.1 no such user\r\n250 ok\r\n")
        .Expect("RSET")
        .Expect("MAIL FROM:<alice@")
        .Expect("RCPT TO:<bob@")
        .Send("250 reset\r\n250 ok\r\n250 ok\r\n")
        .Exchange("DATA", "354 go ahead\r\n")
        .ExpectData()
        .Send("250 2.0.0 queued\r\n")
        .Exchange("QUIT", "221 bye\r\n");
    m_api.m_nPort = server.Start();
    EXPECT_EQ(Send({u"bob@example.org", u"carol@example.org"}), MAILERR_SEND);
    EXPECT_EQ(Send(), MAILERR_OK);
    Finish(server);
    EXPECT_THAT(m_errors,
                ElementsAre(u"CSMTPMailAPI::Send() - An error occured sending the message. "
                            u"Unexpected RCPT TO response!. Last Response : 550 5.1.1 no such "
                            u"user\r\n\n"));
    EXPECT_EQ(server.Connections(), 1);
    EXPECT_THAT(server.Commands(),
                ElementsAre(StartsWith("EHLO "), StartsWith("MAIL"), StartsWith("RCPT"),
                            StartsWith("RCPT"), "RSET", StartsWith("MAIL"), StartsWith("RCPT"),
                            "DATA", "QUIT"));
    EXPECT_EQ(server.Data().size(), 1u);
    EXPECT_TRUE(m_log.Contains(u"is used again", HOSTLOG_PROGRESS));
}

// Each row: what the server does after the first transaction, what the
// test changes before the second send, and the results.
TEST_F(KeptConnectionTest, AConnectionThatCannotCarryTheNextSendIsReplacedOnce) {
    struct Row {
        const char* name;
        std::function<void(ScriptedSmtpServer&)> afterFirst;
        std::function<void(CSMTPMailAPI&)> beforeSecond;
        MAILRESULT nFirst;
        const char16_t* pszNote;
    };
    const auto none = [](CSMTPMailAPI&) {};
    const Row rows[] = {
        {"closed while idle", [](ScriptedSmtpServer& s) { Transaction(s).AcceptNext(); }, none,
         MAILERR_OK, u"a new connection replaces it"},
        {"421 to the next MAIL FROM",
         [](ScriptedSmtpServer& s) {
             Transaction(s).Exchange("MAIL FROM", "421 4.4.2 idle too long\r\n").AcceptNext();
         },
         none, MAILERR_OK, u"421 4.4.2 idle too long"},
        {"a reply that breaks the rules",
         [](ScriptedSmtpServer& s) {
             s.Exchange("MAIL FROM", "250 ok\r\n")
                 .Exchange("RCPT TO", "250-ok\r\n550 no\r\n")
                 .Exchange("QUIT", "221 bye\r\n")
                 .AcceptNext();
         },
         none, MAILERR_SEND, nullptr},
        {"other settings",
         [](ScriptedSmtpServer& s) { Transaction(s).Exchange("QUIT", "221 bye\r\n").AcceptNext(); },
         [](CSMTPMailAPI& api) { api.m_strUser = u"somebody else"; }, MAILERR_OK,
         u"the settings changed"},
        {"idle too long",
         [](ScriptedSmtpServer& s) { Transaction(s).Exchange("QUIT", "221 bye\r\n").AcceptNext(); },
         [](CSMTPMailAPI& api) {
             api.m_nKeepAliveSeconds = 1;
             std::this_thread::sleep_for(std::chrono::milliseconds(1100));
         },
         MAILERR_OK, u"idle for longer than 1 seconds"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        m_log.Clear();
        m_errors.clear();
        MAILINIFLAGS flags = MakeIniFlags(&m_log, LoadTestHostModule(true));
        ASSERT_TRUE(m_api.Initialize(&flags));
        m_api.m_nKeepAliveSeconds = 60;
        m_api.m_strUser.clear();
        ScriptedSmtpServer server;
        row.afterFirst(Helo(server));
        Transaction(Helo(server)).Exchange("QUIT", "221 bye\r\n");
        m_api.m_nPort = server.Start();
        EXPECT_EQ(Send(), row.nFirst);
        row.beforeSecond(m_api);
        EXPECT_EQ(Send(), MAILERR_OK);
        Finish(server);
        EXPECT_EQ(server.Connections(), 2);
        EXPECT_EQ(server.Data().size(), row.nFirst == MAILERR_OK ? 2u : 1u);
        if (row.pszNote != nullptr) {
            EXPECT_TRUE(m_log.Contains(row.pszNote, HOSTLOG_PROGRESS));
        }
    }
}

// The scripted server has no TLS on Windows, where Schannel resumes by
// itself under the credentials the connection object keeps.
#if !defined(_WIN32)
TEST_F(KeptConnectionTest, ANewConnectionToTheSameServerResumesTheTlsSession) {
    TrustTestCa();
    ScriptedSmtpServer server;
    server.UseCertificate(TestCertificate("server.pem"), TestCertificate("server.key"));
    for (int i = 0; i < 2; ++i) {
        if (i > 0)
            server.AcceptNext();
        server.Send(kGreeting)
            .Exchange("EHLO", "250-mail.test\r\n250 STARTTLS\r\n")
            .Exchange("STARTTLS", "220 go ahead\r\n")
            .StartTls()
            .Exchange("EHLO", "250 mail.test\r\n");
        Transaction(server);
    }
    server.Exchange("QUIT", "221 bye\r\n");
    m_api.m_bStartTLS = true;
    m_api.m_nPort = server.Start();
    EXPECT_EQ(Send(), MAILERR_OK);
    EXPECT_EQ(Send(), MAILERR_OK);
    Finish(server);
    EXPECT_EQ(server.Connections(), 2);
    EXPECT_EQ(server.ResumedHandshakes(), 1);
}
#endif

}  // namespace
