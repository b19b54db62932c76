// Mail_Send with authentication method 5: the provider greets the configured
// server itself and hands the message to OAuthRelay, which fetches a token
// from a loopback HTTPS token endpoint (client-credentials grant) and submits
// the message with AUTH XOAUTH2 to an aiosmtpd server that accepts only the
// tokens that endpoint issued.
#include <gtest/gtest.h>

#include <string>

#include "LogCapture.h"
#include "ScriptedSmtpServer.h"
#include "SendFixture.h"
#include "api/ConfigText.h"

namespace {

class SendOAuthTest : public SendFixture {
protected:
    // The provider's store with the servers' client values.
    void ConfigureRelay(int port, bool bStartTls, const std::string& secret, bool bHtml = false) {
        StoreSettings settings{"localhost", port, kAuthOAuth2, bStartTls};
        settings.more = {{CFG_SENDER_NAME, "Relay Sender"},
                         {CFG_SENDER_ADDR, "relay@example.org"},
                         {CFG_BODY_FORMAT, bHtml ? "1" : "0"},
                         {CFG_OAUTH_CLIENT_SECRET, secret},
                         {CFG_OAUTH_CLIENT_ID, "6f1c2a9e-relay-client"},
                         {CFG_OAUTH_TENANT_ID, "contoso-tenant"},
                         {CFG_OAUTH_SCOPE, "https://outlook.office365.com/.default"},
                         {CFG_OAUTH_AUTHORITY, PeerValue("oauth.authority")}};
        Configure(settings);
    }
    void ConfigureRelay(bool bHtml = false) {
        ConfigureRelay(PeerPort("oauth"), true, "s3cr3t~value", bHtml);
    }

    bool Logged(int level, const std::u16string& text) const {
        for (const auto& e : m_log.Entries())
            if (!e.bWriteLog && e.level == level && e.message == text)
                return true;
        return false;
    }
    static bool Said(const std::string& text) {
        return AskPeers("said oauth " + text) == std::vector<std::string>{"yes"};
    }
};

// The relay converts a domain outside ASCII to its A-labels itself (libcurl's
// Windows build has none) and sends a local part in UTF-8 with SMTPUTF8.
TEST_F(SendOAuthTest, TextMessageWithAttachmentGoesThroughTheRelay) {
    ConfigureRelay();
    const std::string file = WriteFile("report.csv", "a;b\r\n1;2\r\n\xc3\xa4;\xe2\x82\xac\r\n");
    HostMessage message;
    message.Subject(u"Relay \u00fcber OAuth2")
        .Body(u"Text body\nsecond line")
        .To(u"T\u00f6 One", u"to1@example.org")
        .To(nullptr, u"\u7528\u6237@\u4f8b\u5b50.\u5e7f\u544a")
        .Cc(nullptr, u"cc@example.org")
        .Bcc(nullptr, u"bcc@example.org")
        .To(u"Without address", nullptr)
        .Priority(MAILPRIO_HIGH)
        .Flags(MAILMSG_READ_RECEIPT | MAILMSG_NOTIFY_SUCCESS | MAILMSG_NOTIFY_FAILURE)
        .Attach(file, u"shown name.csv");
    const std::string marker = Mark(message);
    ASSERT_EQ(Send(message.Record()), MAILERR_OK) << ToUtf8(Description());
    // The text part and the attachment are the root's two children; only the
    // attachment has a file name.
    EXPECT_TRUE(Logged(6, u"CSMTPMailAPI::Send Processing 2 attachments"));
    EXPECT_TRUE(Logged(6, u"CSMTPMailAPI::Send Attachments: " + FromUtf8(file)));
    EXPECT_TRUE(Stored(marker, R"json({
        "subject": "Relay \u00fcber OAuth2",
        "from": ["Relay Sender", "relay@example.org"],
        "headers": {"X-Priority": "1 (Highest)", "Disposition-Notification-To": "relay@example.org"},
        "absent": ["Bcc"],
        "text": "Text body\nsecond line",
        "attachments": [{"filename": "report.csv", "path": "report.csv"}],
        "mail_from": "relay@example.org",
        "rcpt_tos": ["to1@example.org", "\u7528\u6237@xn--fsqu00a.xn--4rr70v", "cc@example.org",
                     "bcc@example.org"], "smtputf8": true, "notify": "SUCCESS,FAILURE"})json"));
    EXPECT_TRUE(Said("issued"));
}

TEST_F(SendOAuthTest, HtmlBodyFollowsTheBodyFormatAnEmptyBodyIsOnlyAWarningLongTextsFold) {
    ConfigureRelay(true);
    HostMessage html;
    html.Subject(u"HTML").Body(u"<p>Hallo <b>Welt</b></p>").ContentType(u"text/html");
    html.To(nullptr, u"to@example.org");
    std::string marker = Mark(html);
    ASSERT_EQ(Send(html.Record()), MAILERR_OK) << ToUtf8(Description());
    EXPECT_TRUE(Logged(6, u"CSMTPMailAPI::Send Processing 1 attachments"));
    EXPECT_TRUE(Stored(
        marker,
        R"json({"html": "<p>Hallo <b>Welt</b></p>", "rcpt_tos": ["to@example.org"], "notify": ""})json"));

    HostMessage empty;
    empty.Subject(u"No body").To(nullptr, u"to@example.org");
    marker = Mark(empty);
    ASSERT_EQ(Send(empty.Record()), MAILERR_OK) << ToUtf8(Description());
    EXPECT_TRUE(Logged(4, u"Message body is empty"));
    EXPECT_TRUE(Logged(6, u"CSMTPMailAPI::Send No attachments to process"));
    EXPECT_TRUE(
        Stored(marker, R"json({"subject": "No body", "rcpt_tos": ["to@example.org"]})json"));
    // Long subjects and display names are folded as on the SMTP route.
    HostMessage longTexts = LongHeaderTexts();
    marker = Mark(longTexts);
    ASSERT_EQ(Send(longTexts.Record()), MAILERR_OK) << ToUtf8(Description());
    EXPECT_TRUE(Stored(marker, LongHeaderTextsRead(false)));
}

TEST_F(SendOAuthTest, WrongSecretIs200WithTheTokenEndpointsReasonAfterTheGreeting) {
    // The configured server is a scripted one here, so that the provider's
    // own greeting connection can be seen; the relay never gets that far.
    ScriptedSmtpServer server;
    server.Send("220 scripted ready\r\n")
        .Exchange("EHLO", "250 scripted\r\n")
        .Exchange("QUIT", "221 bye\r\n");
    ConfigureRelay(server.Start(), false, "wrong-secret");
    EXPECT_EQ(Send(SimpleText().Record()), MAILERR_SEND);
    ASSERT_TRUE(server.Finish());
    EXPECT_TRUE(server.Errors().empty()) << server.Errors().front();
    EXPECT_EQ(server.Commands().size(), 2u) << server.Received();
    EXPECT_NE(Description().find(u"AADSTS7000215: Invalid client secret provided."),
              std::u16string::npos)
        << ToUtf8(Description());
    ExpectLastError(MAILERR_SEND,
                    u"The token endpoint " + FromUtf8(PeerValue("oauth.authority")) +
                        u"/contoso-tenant/oauth2/v2.0/token refused the request",
                    0, false);
    EXPECT_TRUE(Said("token request refused"));
}

TEST_F(SendOAuthTest, UnreachableGreetingServerIs509AndTheRelayIsNotAsked) {
    ConfigureRelay(UnusedLoopbackPort(), true, "s3cr3t~value");
    LogCapture capture;
    EXPECT_EQ(Send(SimpleText().Record()), MAILERR_ACCESS_DENIED);
    ExpectLastError(MAILERR_ACCESS_DENIED, kConnecting, 10061, false);
    EXPECT_FALSE(capture.Contains(u"Using OAuth2 authentication via OAuthRelay"));
}

}  // namespace
