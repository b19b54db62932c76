// The session's dialogue against the scripted server: commands byte for
// byte, replies split across segments, capability tests, odd replies,
// silent and vanishing servers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ScriptedSmtpServer.h"
#include "SessionTestSupport.h"
#include "mime/TSMTPBodyPart.h"
#include "platform/Sockets.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

namespace {

const char* const kGreeting = "220 mail.test ESMTP ready\r\n";

// The envelope, data and goodbye of TextMessage() against a willing server.
void ScriptTransaction(ScriptedSmtpServer& server) {
    server.Exchange("MAIL FROM:", "250 2.1.0 Ok\r\n")
        .Exchange("RCPT TO:", "250 2.1.5 Ok\r\n")
        .Exchange("DATA", "354 End data with <CR><LF>.<CR><LF>\r\n")
        .ExpectData()
        .Send("250 2.0.0 Ok: queued\r\n")
        .Exchange("QUIT", "221 2.0.0 Bye\r\n");
}

}  // namespace

TEST_F(SessionTest, HeloDialogueDeliversAPlainMessage) {
    ScriptedSmtpServer server;
    server.Send(kGreeting).Exchange("HELO", "250 mail.test\r\n");
    ScriptTransaction(server);
    const int port = server.Start();

    {
        auto session = NewSession();
        ASSERT_TRUE(session->Connect(u"127.0.0.1", TSMTPConnection::AUTH_NONE, u"", u"", port));
        EXPECT_TRUE(session->m_bConnected);
        EXPECT_EQ(session->m_strHostName, u"127.0.0.1");
        auto message = TextMessage(u".leading dot\r\n.\r\nlast line");
        session->SendMessageW(*message);
    }
    ASSERT_TRUE(server.Finish());
    EXPECT_THAT(server.Errors(), IsEmpty());
    EXPECT_TRUE(server.ClientClosed());
    EXPECT_THAT(server.Commands(), ElementsAre("HELO client.test", "MAIL FROM:<alice@example.org>",
                                               "RCPT TO:<bob@example.org>", "DATA", "QUIT"));
    ASSERT_EQ(server.Data().size(), 1u);
    const std::string data = server.Data()[0];
    // Header block, the empty line, then the text made transparent.
    const std::size_t bodyAt = data.find("\r\n\r\n");
    ASSERT_NE(bodyAt, std::string::npos);
    EXPECT_THAT(data.substr(0, bodyAt), StartsWith("From: Alice <alice@example.org>\r\nTo: Bob"));
    EXPECT_EQ(data.substr(bodyAt + 4), "..leading dot\r\n..\r\nlast line\r\n.\r\n");
}

TEST_F(SessionTest, EhloReplyInOneSegmentPerLineIsReadToItsLastLine) {
    ScriptedSmtpServer server;
    server.Send(kGreeting)
        .Expect("EHLO client.test")
        .SendSegments({"250-mail.test\r\n", "250-SIZE 10240000\r\n", "250-AUTH PLAIN LOGIN\r\n",
                       "250-8BITMIME\r\n", "250 DSN\r\n"})
        .Expect("AUTH PLAIN")
        // The challenge line itself arrives in two pieces.
        .SendSegments({"33", "4 \r\n"})
        .Exchange("", "235 2.7.0 Authentication successful\r\n");
    ScriptTransaction(server);
    const int port = server.Start();
    {
        auto session = NewSession();
        ASSERT_TRUE(
            session->Connect(u"127.0.0.1", TSMTPConnection::AUTH_PLAIN, u"bob", u"pw", port));
        auto message = TextMessage();
        session->SendMessageW(*message);
    }
    ASSERT_TRUE(server.Finish());
    EXPECT_THAT(server.Errors(), IsEmpty());
    EXPECT_THAT(server.Commands(), ElementsAre("EHLO client.test", "AUTH PLAIN",
                                               "AGJvYgBwdw==", "MAIL FROM:<alice@example.org>",
                                               "RCPT TO:<bob@example.org>", "DATA", "QUIT"));
}

TEST_F(SessionTest, AuthLineWithoutTheMechanismIsAFalseCommandResponse) {
    ScriptedSmtpServer server;
    server.Send(kGreeting)
        .Exchange("EHLO", "250-mail.test\r\n250-AUTH LOGIN PLAIN\r\n250 8BITMIME\r\n")
        .Exchange("QUIT", "221 Bye\r\n");
    const int port = server.Start();
    auto session = NewSession();
    auto e =
        Catch([&] { session->Connect(u"127.0.0.1", TSMTPConnection::CRAM_MD5, u"u", u"p", port); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->m_nKind, 4);
    EXPECT_EQ(e->m_strMessage, u"False command response!");
    EXPECT_TRUE(IsClosed(*session));
    ASSERT_TRUE(server.Finish());
    EXPECT_THAT(server.Commands(), ElementsAre("EHLO client.test", "QUIT"));
    EXPECT_TRUE(server.ClientClosed());
}

TEST_F(SessionTest, LowerCaseAuthLineCountsAsAnAuthLineWithoutTheMechanism) {
    ScriptedSmtpServer server;
    server.Send(kGreeting)
        .Exchange("EHLO", "250-mail.test\r\n250-auth login plain\r\n250 8BITMIME\r\n")
        .Exchange("QUIT", "221 Bye\r\n");
    const int port = server.Start();
    auto session = NewSession();
    auto e = Catch(
        [&] { session->Connect(u"127.0.0.1", TSMTPConnection::AUTH_LOGIN, u"u", u"p", port); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->m_nKind, 3);
    EXPECT_EQ(e->m_strMessage,
              u"This authentication type is not supported by current SMTP server.");
    EXPECT_TRUE(IsClosed(*session));
    ASSERT_TRUE(server.Finish());
    EXPECT_THAT(server.Commands(), ElementsAre("EHLO client.test", "QUIT"));
}

TEST_F(SessionTest, NoAuthLineStillAuthenticates) {
    ScriptedSmtpServer server;
    server.Send(kGreeting)
        .Exchange("EHLO", "250-mail.test\r\n250 8BITMIME\r\n")
        .Exchange("AUTH LOGIN", kUsernamePrompt)
        .Exchange("dXNlcg==", kPasswordPrompt)
        .Exchange("cGFzcw==", "235 ok\r\n")
        .Exchange("QUIT", "221 Bye\r\n");
    const int port = server.Start();
    {
        auto session = NewSession();
        EXPECT_TRUE(
            session->Connect(u"127.0.0.1", TSMTPConnection::AUTH_LOGIN, u"user", u"pass", port));
    }
    ASSERT_TRUE(server.Finish());
    EXPECT_THAT(server.Errors(), IsEmpty());
    EXPECT_EQ(server.Commands().size(), 5u);
}

TEST_F(SessionTest, StartTlsNotOfferedFails) {
    ScriptedSmtpServer server;
    server.Send(kGreeting)
        .Exchange("EHLO", "250-mail.test\r\n250-AUTH PLAIN\r\n250 SIZE 1000\r\n")
        .Exchange("QUIT", "221 Bye\r\n");
    const int port = server.Start();
    auto session = NewSession(true);
    auto e = Catch(
        [&] { session->Connect(u"127.0.0.1", TSMTPConnection::AUTH_PLAIN, u"u", u"p", port); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->m_nKind, 3);
    EXPECT_EQ(e->m_strMessage, u"TLS is not supported by current SMTP server.");
    EXPECT_TRUE(IsClosed(*session));
    ASSERT_TRUE(server.Finish());
    EXPECT_THAT(server.Commands(), ElementsAre("EHLO client.test", "QUIT"));
}

TEST_F(SessionTest, TlsKeywordCountsAsStartTlsAndARefusalEndsTheGreeting) {
    // "250 TLS" passes the capability test; the refusal of STARTTLS then fails.
    ScriptedSmtpServer server;
    server.Send(kGreeting)
        .Exchange("EHLO", "250-mail.test\r\n250-AUTH PLAIN\r\n250 TLS\r\n")
        .Exchange("STARTTLS", "454 4.7.0 TLS not available due to local problem\r\n")
        .Exchange("QUIT", "221 Bye\r\n");
    const int port = server.Start();
    auto session = NewSession(true);
    auto e = Catch(
        [&] { session->Connect(u"127.0.0.1", TSMTPConnection::AUTH_PLAIN, u"u", u"p", port); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->m_strMessage, u"SMTP server not ready to start TLS negotiation.");
    ASSERT_TRUE(server.Finish());
    EXPECT_THAT(server.Commands(), ElementsAre("EHLO client.test", "STARTTLS", "QUIT"));
}

TEST_F(SessionTest, StartTlsWithAuthTypeNoneGreetsWithHeloInPlainText) {
    ScriptedSmtpServer server;
    server.Send(kGreeting)
        .Exchange("HELO client.test", "250 mail.test\r\n")
        .Exchange("QUIT", "221 Bye\r\n");
    const int port = server.Start();
    {
        auto session = NewSession(true);
        EXPECT_TRUE(
            session->Connect(u"127.0.0.1", TSMTPConnection::AUTH_NONE, nullptr, nullptr, port));
    }
    ASSERT_TRUE(server.Finish());
    EXPECT_THAT(server.Commands(), ElementsAre("HELO client.test", "QUIT"));
}

TEST_F(SessionTest, OAuth2TypeTestsForXoauth2AndSendsNoAuth) {
    ScriptedSmtpServer server;
    server.Send(kGreeting)
        .Exchange("EHLO", "250-mail.test\r\n250-AUTH LOGIN XOAUTH2\r\n250 8BITMIME\r\n")
        .Exchange("QUIT", "221 Bye\r\n");
    const int port = server.Start();
    {
        auto session = NewSession();
        EXPECT_TRUE(session->Connect(u"127.0.0.1", TSMTPConnection::AUTH_OAUTH2, u"u", u"", port));
    }
    ASSERT_TRUE(server.Finish());
    EXPECT_THAT(server.Commands(), ElementsAre("EHLO client.test", "QUIT"));

    // Without XOAUTH2 among the mechanisms the capability test refuses.
    ScriptedSmtpServer refusing;
    refusing.Send(kGreeting)
        .Exchange("EHLO", "250-mail.test\r\n250 AUTH LOGIN PLAIN\r\n")
        .Exchange("QUIT", "221 Bye\r\n");
    const int port2 = refusing.Start();
    auto session = NewSession();
    auto e = Catch(
        [&] { session->Connect(u"127.0.0.1", TSMTPConnection::AUTH_OAUTH2, u"u", u"", port2); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->m_nKind, 4);
}

TEST_F(SessionTest, UnknownAuthTypeIsRefusedAfterEhlo) {
    ScriptedSmtpServer server;
    server.Send(kGreeting).Exchange("EHLO", "250 mail.test\r\n").Exchange("QUIT", "221 Bye\r\n");
    const int port = server.Start();
    auto session = NewSession();
    auto e = Catch([&] { session->Connect(u"127.0.0.1", 9, u"u", u"p", port); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->m_strMessage, u"Unrecognized authentication type.");
    EXPECT_TRUE(IsClosed(*session));
}

TEST_F(SessionTest, CodeTestIsASubstringTestOnTheWholeReply) {
    // A refusal whose text holds "250" passes for 250: the session goes on.
    ScriptedSmtpServer server;
    server.Send(kGreeting)
        .Exchange("HELO", "250 mail.test\r\n")
        .Exchange("MAIL FROM:", "550 5.7.1 Sender refused, limit 250 per day\r\n")
        .Exchange("RCPT TO:", "250 Ok\r\n")
        .Exchange("DATA", "354 go\r\n")
        .ExpectData()
        .Send("250 Ok\r\n")
        .Exchange("QUIT", "221 Bye\r\n");
    const int port = server.Start();
    {
        auto session = NewSession();
        ASSERT_TRUE(session->Connect(u"127.0.0.1", 0, nullptr, nullptr, port));
        auto message = TextMessage();
        EXPECT_FALSE(Catch([&] { session->SendMessageW(*message); }));
    }
    ASSERT_TRUE(server.Finish());
    EXPECT_THAT(server.Errors(), IsEmpty());
}

TEST_F(SessionTest, GreetingThatNeverComesTimesOut) {
    ScriptedSmtpServer server;
    server.StaySilent();
    const int port = server.Start();
    auto session = NewSession(false, 0, 200);
    auto e = Catch([&] { session->Connect(u"127.0.0.1", 0, nullptr, nullptr, port); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->m_nKind, 3);
    EXPECT_EQ(e->m_strMessage, u"Cannot read data from specified socket!");
    EXPECT_TRUE(IsClosed(*session));
    ASSERT_TRUE(server.Finish());
    // The goodbye went out, unanswered, before the socket was closed.
    EXPECT_THAT(server.Commands(), ElementsAre("QUIT"));
    EXPECT_TRUE(server.ClientClosed());
}

TEST_F(SessionTest, ServerThatClosesInsteadOfReplyingFailsWithAnEmptyReply) {
    ScriptedSmtpServer server;
    server.Send(kGreeting).Expect("EHLO").Close();
    const int port = server.Start();
    auto session = NewSession();
    auto e = Catch(
        [&] { session->Connect(u"127.0.0.1", TSMTPConnection::AUTH_LOGIN, u"u", u"p", port); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->m_nKind, 3);
    EXPECT_EQ(e->m_strMessage, u"Unexpected EHLO response. Last Response : \n");
    EXPECT_TRUE(IsClosed(*session));
    ASSERT_TRUE(server.Finish());
}

TEST_F(SessionTest, ReadOfExactly64000BytesIsFollowedByAnotherRead) {
    // The greeting fills one read exactly, so the session reads again at
    // once; the next line belongs to the greeting, and the HELO reply is the
    // refusal that follows.
    std::string greeting;
    while (greeting.size() < 64000 - 200)
        greeting += "220-" + std::string(94, 'x') + "\r\n";
    const std::string last = "220 ready\r\n";
    greeting += "220-" + std::string(64000 - greeting.size() - 6 - last.size(), 'y') + "\r\n";
    greeting += last;
    ASSERT_EQ(greeting.size(), 64000u);

    setenv("VX_DEBUG_LEVEL", "2", 1);
    LogCapture log;
    ScriptedSmtpServer server;
    server.Send(greeting)
        .Send("220 more of the greeting\r\n")
        .Exchange("HELO", "554 no\r\n")
        .Exchange("QUIT", "221 Bye\r\n");
    const int port = server.Start();
    auto session = NewSession();
    auto e = Catch([&] { session->Connect(u"127.0.0.1", 0, nullptr, nullptr, port); });
    unsetenv("VX_DEBUG_LEVEL");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->m_strMessage, u"Unexpected HELO response. Last Response : 554 no\r\n");
    // The wire trace shows the greeting's second read.
    EXPECT_TRUE(log.Contains(u"***R***220 more of the greeting\r\n***(220)")) << log.Dump();
}

TEST_F(SessionTest, QuitAnsweredWithAnotherCodeWarnsAndStillCloses) {
    ScriptedSmtpServer server;
    server.Send(kGreeting).Exchange("HELO", "250 ok\r\n").Exchange("QUIT", "500 what?\r\n");
    const int port = server.Start();
    auto session = NewSession();
    ASSERT_TRUE(session->Connect(u"127.0.0.1", 0, nullptr, nullptr, port));
    session->Disconnect(true);
    EXPECT_TRUE(IsClosed(*session));
    EXPECT_TRUE(m_hostLog.Contains(u"Disconnect failed!", 4));
    ASSERT_TRUE(server.Finish());
    EXPECT_TRUE(server.ClientClosed());
}

TEST_F(SessionTest, ConnectOnAConnectedSessionEndsTheConnection) {
    ScriptedSmtpServer server;
    server.Send(kGreeting).Exchange("HELO", "250 ok\r\n").Exchange("QUIT", "221 Bye\r\n");
    const int port = server.Start();
    auto session = NewSession();
    ASSERT_TRUE(session->Connect(u"127.0.0.1", 0, nullptr, nullptr, port));
    auto e = Catch([&] { session->Connect(u"127.0.0.1", 0, nullptr, nullptr, port); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->m_nKind, 6);
    EXPECT_EQ(e->m_strMessage, u"Socked alredy created!");
    EXPECT_TRUE(m_hostLog.Contains(u"Already connected!", 4));
    EXPECT_TRUE(IsClosed(*session));
    ASSERT_TRUE(server.Finish());
    EXPECT_THAT(server.Commands(), ElementsAre("HELO client.test", "QUIT"));
}

TEST_F(SessionTest, RefusedConnectionLeavesNoSocketBehind) {
    // A port nobody listens on: take one from a server that is gone.
    int port = 0;
    {
        ScriptedSmtpServer gone;
        port = gone.Start();
    }
    const int before = OpenDescriptors();
    auto session = NewSession();
    auto e = Catch([&] { session->Connect(u"127.0.0.1", 0, nullptr, nullptr, port); });
    ASSERT_TRUE(e);
    EXPECT_TRUE(IsClosed(*session));
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(SessionTest, NotifyParameterFollowsTheFlags) {
    struct Case {
        bool bSuccess, bFailure;
        const char* expected;
    } cases[] = {{true, true, "RCPT TO:<bob@example.org> NOTIFY=SUCCESS,FAILURE"},
                 {false, true, "RCPT TO:<bob@example.org> NOTIFY=FAILURE"},
                 {true, false, "RCPT TO:<bob@example.org> NOTIFY=SUCCESS"},
                 {false, false, "RCPT TO:<bob@example.org>"}};
    for (const Case& c : cases) {
        ScriptedSmtpServer server;
        server.Send(kGreeting).Exchange("HELO", "250 ok\r\n");
        ScriptTransaction(server);
        const int port = server.Start();
        {
            auto session = NewSession();
            session->SetDSNFlags(c.bSuccess, c.bFailure);
            ASSERT_TRUE(session->Connect(u"127.0.0.1", 0, nullptr, nullptr, port));
            auto message = TextMessage();
            session->SendMessageW(*message);
        }
        ASSERT_TRUE(server.Finish());
        ASSERT_GE(server.Commands().size(), 3u);
        EXPECT_EQ(server.Commands()[2], c.expected);
        // Nothing on the sender's command.
        EXPECT_EQ(server.Commands()[1], "MAIL FROM:<alice@example.org>");
    }
}

TEST_F(SessionTest, RecipientsGoOutToThenCcThenBccAndARefusalEndsTheTransaction) {
    ScriptedSmtpServer server;
    server.Send(kGreeting)
        .Exchange("HELO", "250 ok\r\n")
        .Exchange("MAIL FROM:", "250 ok\r\n")
        .Exchange("RCPT TO:<to@example.org>", "250 ok\r\n")
        .Exchange("RCPT TO:<cc@example.org>", "250 ok\r\n")
        .Exchange("RCPT TO:<bcc@example.org>", "550 5.1.1 unknown user\r\n")
        .Exchange("QUIT", "221 Bye\r\n");
    const int port = server.Start();
    {
        auto session = NewSession();
        ASSERT_TRUE(session->Connect(u"127.0.0.1", 0, nullptr, nullptr, port));
        TSMTPMessage message;
        message.m_From = TSMTPAddress(u"", u"from@example.org");
        message.AddRecipient(TSMTPAddress(u"", u"bcc@example.org"), TSMTPMessage::BCC);
        message.AddRecipient(TSMTPAddress(u"", u"cc@example.org"), TSMTPMessage::CC);
        message.AddRecipient(TSMTPAddress(u"", u"to@example.org"), TSMTPMessage::TO);
        message.AddTextBody(u"x");
        auto e = Catch([&] { session->SendMessageW(message); });
        ASSERT_TRUE(e);
        EXPECT_EQ(e->m_strMessage,
                  u"Unexpected RCPT TO response!. Last Response : 550 5.1.1 unknown user\r\n");
    }
    ASSERT_TRUE(server.Finish());
    EXPECT_THAT(server.Errors(), IsEmpty());
    EXPECT_EQ(server.Commands().back(), "QUIT");
}

TEST_F(SessionTest, EmptySenderAndNoRecipientsAreWarningsAndTheServerDecides) {
    ScriptedSmtpServer server;
    server.Send(kGreeting)
        .Exchange("HELO", "250 ok\r\n")
        .Exchange("MAIL FROM:<>", "250 ok\r\n")
        .Exchange("DATA", "503 5.5.1 Error: need RCPT command\r\n")
        .Exchange("QUIT", "221 Bye\r\n");
    const int port = server.Start();
    {
        auto session = NewSession();
        ASSERT_TRUE(session->Connect(u"127.0.0.1", 0, nullptr, nullptr, port));
        TSMTPMessage message;
        message.AddTextBody(u"x");
        auto e = Catch([&] { session->SendMessageW(message); });
        ASSERT_TRUE(e);
        EXPECT_EQ(e->m_strMessage,
                  u"Unexpected MAIL FROM response!. Last Response : 503 5.5.1 Error: need RCPT "
                  u"command\r\n");
    }
    EXPECT_TRUE(m_hostLog.Contains(u"Field FROM contains not data.", 4));
    EXPECT_TRUE(m_hostLog.Contains(u"Email must be send to someone.", 4));
    ASSERT_TRUE(server.Finish());
    EXPECT_THAT(server.Errors(), IsEmpty());
}

TEST_F(SessionTest, SendingWithoutAConnectionFails) {
    auto session = NewSession();
    auto message = TextMessage();
    auto e = Catch([&] { session->SendMessageW(*message); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->m_strMessage, u"Socked not created!");
}

TEST_F(SessionTest, MultipartMessageGoesOutInEmissionOrder) {
    ScriptedSmtpServer server;
    server.Send(kGreeting).Exchange("HELO", "250 ok\r\n");
    ScriptTransaction(server);
    const int port = server.Start();

    TSMTPMessage message;
    message.m_From = TSMTPAddress(u"", u"alice@example.org");
    message.AddRecipient(TSMTPAddress(u"", u"bob@example.org"), TSMTPMessage::TO);
    message.SetCharset(u"utf-8");
    message.SetMime(true);
    message.AddTextBody(u"plain text");
    message.AddHTMLBody(u"<p>html</p>", u"");
    // A nested container with one child of its own.
    TSMTPBodyPart inner;
    inner.SetText(u"inner text");
    TSMTPBodyPart container;
    container.m_sContentType = u"multipart/alternative";
    container.AddChildBodyPart(inner);
    message.AddBodyPart(container);
    {
        auto session = NewSession();
        ASSERT_TRUE(session->Connect(u"127.0.0.1", 0, nullptr, nullptr, port));
        session->SendMessageW(message);
    }
    ASSERT_TRUE(server.Finish());
    ASSERT_EQ(server.Data().size(), 1u);
    const std::string data = server.Data()[0];

    // Root body, then each child's header and body, its own children and its
    // footer, then the root's footer and the end of data.
    using Get = bool (TSMTPBodyPart::*)(char*&, DWORD&);
    auto bytesOf = [](TSMTPBodyPart* part, Get get, void (*release)(char*&)) {
        char* buffer = nullptr;
        DWORD size = 0;
        EXPECT_TRUE((part->*get)(buffer, size));
        std::string bytes(buffer != nullptr ? buffer : "", size);
        release(buffer);
        return bytes;
    };
    auto header = [&](TSMTPBodyPart* p) {
        return bytesOf(p, &TSMTPBodyPart::GetHeader, &TSMTPBodyPart::FreeHeader);
    };
    auto body = [&](TSMTPBodyPart* p) {
        return bytesOf(p, &TSMTPBodyPart::GetBody, &TSMTPBodyPart::FreeBody);
    };
    auto footer = [&](TSMTPBodyPart* p) {
        return bytesOf(p, &TSMTPBodyPart::GetFooter, &TSMTPBodyPart::FreeFooter);
    };
    TSMTPBodyPart& root = message.m_RootPart;
    ASSERT_EQ(root.GetNumberOfChildBodyParts(), 3);
    TSMTPBodyPart* text = root.GetChildBodyPart(0);
    TSMTPBodyPart* html = root.GetChildBodyPart(1);
    TSMTPBodyPart* alternative = root.GetChildBodyPart(2);
    TSMTPBodyPart* nested = alternative->GetChildBodyPart(0);
    std::string expected = body(&root);
    for (TSMTPBodyPart* part : {text, html})
        expected += header(part) + body(part);
    expected += header(alternative) + body(alternative) + header(nested) + body(nested) +
                footer(alternative) + footer(&root) + "\r\n.\r\n";
    const std::size_t bodyAt = data.find("\r\n\r\n");
    ASSERT_NE(bodyAt, std::string::npos);
    EXPECT_THAT(data.substr(0, bodyAt + 2), HasSubstr("MIME-Version: 1.0\r\n"));
    EXPECT_EQ(data.substr(bodyAt + 4), expected);
}

TEST_F(SessionTest, HeloNameAutoIsTheComputerNameAndOnlyInLowerCase) {
    char name[260] = {};
    ASSERT_EQ(platform::gethostname(name, sizeof name), 0);
    TSMTPConnection session(false, 0);
    EXPECT_EQ(Utf8(session.m_strHeloHostname), name);
    EXPECT_EQ(session.m_dwTimeout, 60000u);
    EXPECT_FALSE(session.m_bNotifySuccess);
    EXPECT_FALSE(session.m_bNotifyFailure);
    session.SetHeloHostname(u"Auto");
    EXPECT_EQ(session.m_strHeloHostname, u"Auto");
    session.SetHeloHostname(u"auto");
    EXPECT_EQ(Utf8(session.m_strHeloHostname), name);
}

TEST_F(SessionTest, SplitRepliesOverTlsAreReadToTheirLastLine) {
    ScriptedSmtpServer server;
    UseTestCertificate(server);
    server.Send(kGreeting)
        .Expect("EHLO client.test")
        .SendSegments({"250-mail.test\r\n", "250-STARTTLS\r\n", "250 8BITMIME\r\n"})
        .Expect("STARTTLS")
        .SendSegments({"220 2.0.0 Ready", " to start TLS\r\n"})
        .StartTls()
        .Expect("EHLO client.test")
        .SendSegments(
            {"250-mail.test\r\n", "250-SIZE 1000000\r\n", "250-AUTH LOGIN\r\n", "250 8BITMIME\r\n"})
        .Exchange("AUTH LOGIN", kUsernamePrompt)
        .Exchange("dXNlcg==", kPasswordPrompt)
        .Expect("cGFzcw==")
        .SendSegments({"235 2.7.0 Authentication", " successful\r\n"});
    ScriptTransaction(server);
    const int port = server.Start();
    {
        auto session = NewSession(true);
        ASSERT_TRUE(
            session->Connect(u"localhost", TSMTPConnection::AUTH_LOGIN, u"user", u"pass", port));
        EXPECT_TRUE(session->m_pSocket->m_bSecure);
        auto message = TextMessage();
        session->SendMessageW(*message);
    }
    ASSERT_TRUE(server.Finish());
    EXPECT_THAT(server.Errors(), IsEmpty());
    EXPECT_TRUE(server.ClientClosed());
    EXPECT_THAT(server.Commands(),
                ElementsAre("EHLO client.test", "STARTTLS", "EHLO client.test", "AUTH LOGIN",
                            "dXNlcg==", "cGFzcw==", "MAIL FROM:<alice@example.org>",
                            "RCPT TO:<bob@example.org>", "DATA", "QUIT"));
}

TEST_F(SessionTest, MissingHostUserAndPasswordAreWarnings) {
    auto session = NewSession();
    auto e = Catch([&] { session->Connect(nullptr, 0, nullptr, nullptr, 25); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->m_strMessage, u"Not allowed host adress!");
    EXPECT_TRUE(m_hostLog.Contains(u"HostName not specified!", 4));
    EXPECT_TRUE(IsClosed(*session));

    ScriptedSmtpServer server;
    server.Send(kGreeting).Exchange("EHLO", "250 mail.test\r\n").Exchange("QUIT", "221 Bye\r\n");
    const int port = server.Start();
    {
        auto oauth = NewSession();
        EXPECT_TRUE(
            oauth->Connect(u"127.0.0.1", TSMTPConnection::AUTH_OAUTH2, nullptr, nullptr, port));
    }
    EXPECT_TRUE(m_hostLog.Contains(u"User not specified!", 4));
    EXPECT_TRUE(m_hostLog.Contains(u"Password not specified!", 4));
    ASSERT_TRUE(server.Finish());
    EXPECT_THAT(server.Commands(), ElementsAre("EHLO client.test", "QUIT"));
}
