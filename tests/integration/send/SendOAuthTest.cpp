// Mail_Send with authentication method 5: the provider greets the configured
// server itself and hands the message to OAuthRelay, which fetches a token
// from a loopback HTTPS token endpoint (client-credentials grant) and submits
// the message with AUTH XOAUTH2 to an aiosmtpd server that accepts only the
// tokens that endpoint issued.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ChildProcess.h"
#include "LogCapture.h"
#include "ScriptedSmtpServer.h"
#include "SendFixture.h"

namespace {

class SendOAuthTest : public SendFixture {
protected:
    void SetUp() override {
        SendFixture::SetUp();
        m_servers = std::make_unique<ChildProcess>(std::vector<std::string>{
            SMTPMAIL_TEST_PYTHON, SMTPMAIL_TEST_SOURCE_DIR "/support/oauth_servers.py", "--dir",
            Path("servers")});
        // "ready authority https://127.0.0.1:P1 smtp-port P2 ca PATH"
        std::string line;
        ASSERT_TRUE(m_servers->WaitForLine("oauth-servers: ready ", line))
            << m_servers->Transcript();
        m_authority =
            line.substr(line.find("https://"), line.find(" smtp-port") - line.find("https://"));
        m_nSmtpPort = std::stoi(line.substr(line.find("smtp-port ") + 10));
        m_ca = line.substr(line.rfind(" ca ") + 4);
        // The provider's and the relay's trust store is the servers' CA.
        m_trust = std::make_unique<TrustStore>(m_ca);
    }

    // The provider's store with the servers' client values; options after them.
    void ConfigureRelay(int port, const std::string& options) {
        Configure("--host 127.0.0.1 --port " + std::to_string(port) +
                  " --auth oauth2 --sender-name 'Relay Sender' --sender-address relay@example.org"
                  " --oauth-client-id 6f1c2a9e-relay-client --oauth-tenant-id contoso-tenant"
                  " --oauth-scope https://outlook.office365.com/.default --oauth-authority " +
                  m_authority + " " + options);
    }

    // Message n as the relay's server stored it, against the expectations.
    ::testing::AssertionResult Received(int n, const std::string& expected) {
        std::string line;
        if (!m_servers->WaitForLine("oauth-servers: message " + std::to_string(n) + " ", line))
            return ::testing::AssertionFailure() << m_servers->Transcript();
        return Matches(line.substr(line.rfind(" -> ") + 4), expected);
    }

    bool Logged(int level, const std::u16string& text) const {
        for (const auto& e : m_log.Entries())
            if (!e.bWriteLog && e.level == level && e.message == text)
                return true;
        return false;
    }

    std::unique_ptr<ChildProcess> m_servers;
    std::unique_ptr<TrustStore> m_trust;
    std::string m_authority;
    std::string m_ca;
    int m_nSmtpPort = 0;
};

TEST_F(SendOAuthTest, TextMessageWithAttachmentGoesThroughTheRelay) {
    ConfigureRelay(m_nSmtpPort, "--starttls on --oauth-client-secret s3cr3t~value");
    const std::string file = WriteFile("report.csv", "a;b\r\n1;2\r\n\xc3\xa4;\xe2\x82\xac\r\n");
    HostMessage message;
    message.Subject(u"Relay \u00fcber OAuth2")
        .Body(u"Text body\nsecond line")
        .To(u"T\u00f6 One", u"to1@example.org")
        .To(nullptr, u"to2@example.org")
        .Cc(nullptr, u"cc@example.org")
        .Bcc(nullptr, u"bcc@example.org")
        .To(u"Without address", nullptr)
        .Priority(MAILPRIO_HIGH)
        .Flags(MAILMSG_READ_RECEIPT | MAILMSG_NOTIFY_SUCCESS | MAILMSG_NOTIFY_FAILURE)
        .Attach(file, u"shown name.csv");
    LogCapture capture;
    ASSERT_EQ(Send(message.Record()), MAILERR_OK) << ToUtf8(Description()) << "\n"
                                                  << m_servers->Transcript();
    EXPECT_TRUE(
        capture.Contains(u"CSMTPMailAPI::Send() - Using OAuth2 authentication via OAuthRelay"));
    // The text part and the attachment are the root's two children; only the
    // attachment has a file name.
    EXPECT_TRUE(Logged(6, u"CSMTPMailAPI::Send Processing 2 attachments"));
    EXPECT_TRUE(Logged(6, u"CSMTPMailAPI::Send Attachments: " + FromUtf8(file)));
    EXPECT_TRUE(Received(1, R"json({
        "subject": "Relay \u00fcber OAuth2",
        "from": ["Relay Sender", "relay@example.org"],
        "headers": {"X-Priority": "1 (Highest)", "Disposition-Notification-To": "relay@example.org"},
        "absent": ["Bcc"],
        "text": "Text body\nsecond line",
        "attachments": [{"filename": "report.csv", "path": "report.csv"}],
        "mail_from": "relay@example.org",
        "rcpt_tos": ["to1@example.org", "to2@example.org", "cc@example.org", "bcc@example.org"],
        "notify": "SUCCESS,FAILURE"})json"));
    EXPECT_NE(m_servers->Transcript().find("token 1 issued"), std::string::npos)
        << m_servers->Transcript();
}

TEST_F(SendOAuthTest, HtmlBodyFollowsTheBodyFormatAnEmptyBodyIsOnlyAWarningLongTextsFold) {
    ConfigureRelay(m_nSmtpPort,
                   "--starttls on --body-format html --oauth-client-secret s3cr3t~value");
    HostMessage html;
    html.Subject(u"HTML").Body(u"<p>Hallo <b>Welt</b></p>").ContentType(u"text/html");
    html.To(nullptr, u"to@example.org");
    ASSERT_EQ(Send(html.Record()), MAILERR_OK) << ToUtf8(Description());
    EXPECT_TRUE(Logged(6, u"CSMTPMailAPI::Send Processing 1 attachments"));
    EXPECT_TRUE(Received(
        1,
        R"json({"html": "<p>Hallo <b>Welt</b></p>", "rcpt_tos": ["to@example.org"], "notify": ""})json"));

    HostMessage empty;
    empty.Subject(u"No body").To(nullptr, u"to@example.org");
    ASSERT_EQ(Send(empty.Record()), MAILERR_OK) << ToUtf8(Description());
    EXPECT_TRUE(Logged(4, u"Message body is empty"));
    EXPECT_TRUE(Logged(6, u"CSMTPMailAPI::Send No attachments to process"));
    EXPECT_TRUE(Received(2, R"json({"subject": "No body", "rcpt_tos": ["to@example.org"]})json"));
    // Long subjects and display names are folded as on the SMTP route.
    ASSERT_EQ(Send(LongHeaderTexts().Record()), MAILERR_OK) << ToUtf8(Description());
    EXPECT_TRUE(Received(3, LongHeaderTextsRead(false)));
}

TEST_F(SendOAuthTest, WrongSecretIs200WithTheTokenEndpointsReasonAfterTheGreeting) {
    // The configured server is a scripted one here, so that the provider's
    // own greeting connection can be seen; the relay never gets that far.
    ScriptedSmtpServer server;
    server.Send("220 scripted ready\r\n")
        .Exchange("EHLO", "250 scripted\r\n")
        .Exchange("QUIT", "221 bye\r\n");
    ConfigureRelay(server.Start(), "--starttls off --oauth-client-secret wrong-secret");
    EXPECT_EQ(Send(SimpleText().Record()), MAILERR_SEND);
    ASSERT_TRUE(server.Finish());
    EXPECT_TRUE(server.Errors().empty()) << server.Errors().front();
    EXPECT_EQ(server.Commands().size(), 2u) << server.Received();
    EXPECT_NE(Description().find(u"AADSTS7000215: Invalid client secret provided."),
              std::u16string::npos)
        << ToUtf8(Description());
    ExpectLastError(MAILERR_SEND,
                    u"The token endpoint " + FromUtf8(m_authority) +
                        u"/contoso-tenant/oauth2/v2.0/token refused the request",
                    0, false);
    std::string line;
    EXPECT_TRUE(m_servers->WaitForLine("token request refused", line)) << m_servers->Transcript();
}

TEST_F(SendOAuthTest, UnreachableGreetingServerIs509AndTheRelayIsNotAsked) {
    ConfigureRelay(UnusedLoopbackPort(), "--starttls on --oauth-client-secret s3cr3t~value");
    LogCapture capture;
    EXPECT_EQ(Send(SimpleText().Record()), MAILERR_ACCESS_DENIED);
    ExpectLastError(MAILERR_ACCESS_DENIED, kConnecting, 10061, false);
    EXPECT_FALSE(capture.Contains(u"Using OAuth2 authentication via OAuthRelay"));
}

}  // namespace
