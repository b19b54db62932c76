// CSMTPMailAPI::Send on the provider object: the early answers, the trace
// lines, and the exact dialogue with a scripted server.
#include <gtest/gtest.h>

#include <string>

#include "ApiTestSupport.h"
#include "HostMessage.h"
#include "LogCapture.h"
#include "ScriptedSmtpServer.h"
#include "api/HeaderText.h"

namespace {

class SendTest : public ::testing::Test {
protected:
    void SetUp() override {
        MAILINIFLAGS flags = MakeIniFlags(&m_log, LoadTestHostModule(true));
        ASSERT_TRUE(m_api.Initialize(&flags));
    }

    // Points the provider at a scripted server without authentication.
    void UseServer(int port) {
        m_api.m_strHost = u"127.0.0.1";
        m_api.m_nPort = port;
        m_api.m_nAuthMethod = 0;
        m_api.m_strSenderAddr = u"sender@example.org";
    }

    CapturingLogProvider m_log;
    CSMTPMailAPI m_api;
};

TEST(OneHeaderLineTest, EveryKindOfLineBreakBecomesOneBlank) {
    for (const auto& [text, line] : {std::pair{u"plain text", u"plain text"},
                                     {u"a\r\nb", u"a b"},
                                     {u"a\rb\nc", u"a b c"},
                                     {u"a\r\n\r\n\nb", u"a b"},
                                     {u"\r\nlead and trail\n", u" lead and trail "},
                                     {u"", u""},
                                     {u"tab\tstays", u"tab\tstays"}})
        EXPECT_EQ(OneHeaderLine(text), line) << ToUtf8(text);
}

TEST_F(SendTest, UserAbortAnswers508OnlyWhenNoSenderIsKnown) {
    m_api.m_bAborted = true;
    LogCapture capture;
    EXPECT_EQ(m_api.Send(nullptr, nullptr), MAILERR_ABORTED);
    EXPECT_EQ(m_api.GetLastError()->nCode, MAILERR_ABORTED);
    EXPECT_EQ(Text(m_api.GetLastError()->szDescription), u"CSMTPMailAPI::Send() - User aborted.");
    EXPECT_EQ(m_api.GetLastError()->dwNativeCode, 0u);
    EXPECT_FALSE(capture.Contains(u"no Sender specified")) << capture.Dump();
    EXPECT_FALSE(capture.Contains(u"CSMTPMailAPI::Send() <== return")) << "no exit trace";

    // With a sender the flag is not looked at: the missing host decides.
    HostMessage message;
    message.Originator(nullptr, u"me@example.org").To(nullptr, u"to@example.org");
    EXPECT_EQ(m_api.Send(message.Record(), nullptr), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(Text(m_api.GetLastError()->szDescription),
              u"CSMTPMailAPI::Send() - HostName may not be NULL.");
}

TEST_F(SendTest, OriginatorReplacesTheSenderSettings) {
    m_api.m_strSenderName = u"Old Name";
    m_api.m_strSenderAddr = u"old@example.org";
    HostMessage message;
    message.Originator(u"New Name", u"new@example.org").To(nullptr, u"to@example.org");
    EXPECT_EQ(m_api.Send(message.Record(), nullptr), MAILERR_INVALID_PARAMS);  // no host
    EXPECT_EQ(m_api.m_strSenderName, u"New Name");
    EXPECT_EQ(m_api.m_strSenderAddr, u"new@example.org");

    // A null name leaves the configured name alone.
    HostMessage other;
    other.Originator(nullptr, u"third@example.org");
    m_api.Send(other.Record(), nullptr);
    EXPECT_EQ(m_api.m_strSenderName, u"New Name");
    EXPECT_EQ(m_api.m_strSenderAddr, u"third@example.org");
}

TEST_F(SendTest, DialogueCarriesTheEnvelopeNotifyParametersAndTheMessage) {
    ScriptedSmtpServer server;
    server.Send("220 ready\r\n")
        .Exchange("HELO", "250 hello\r\n")
        .Exchange("MAIL FROM:", "250 ok\r\n")
        .Exchange("RCPT TO:", "250 ok\r\n")
        .Exchange("RCPT TO:", "250 ok\r\n")
        .Exchange("DATA", "354 go on\r\n")
        .ExpectData()
        .Send("250 stored\r\n")
        .Exchange("QUIT", "221 bye\r\n");
    UseServer(server.Start());
    HostMessage message;
    message.Subject(u"Dialogue")
        .Body(u"one\r\n.two")
        .To(nullptr, u"to@example.org")
        .Bcc(nullptr, u"bcc@example.org")
        .Flags(MAILMSG_NOTIFY_SUCCESS | MAILMSG_NOTIFY_FAILURE);
    LogCapture capture;
    EXPECT_EQ(m_api.Send(message.Record(), nullptr), MAILERR_OK)
        << ToUtf8(Text(m_api.GetLastError()->szDescription));
    ASSERT_TRUE(server.Finish());
    EXPECT_TRUE(server.Errors().empty()) << server.Errors().front();
    const auto commands = server.Commands();
    ASSERT_EQ(commands.size(), 6u) << server.Received();
    EXPECT_EQ(commands[1], "MAIL FROM:<sender@example.org>");
    EXPECT_EQ(commands[2], "RCPT TO:<to@example.org> NOTIFY=SUCCESS,FAILURE");
    EXPECT_EQ(commands[3], "RCPT TO:<bcc@example.org> NOTIFY=SUCCESS,FAILURE");
    ASSERT_EQ(server.Data().size(), 1u);
    const std::string data = server.Data()[0];
    EXPECT_EQ(
        data.rfind("From: sender@example.org\r\nTo: to@example.org\r\nSubject: Dialogue\r\n", 0),
        0u)
        << data;
    EXPECT_EQ(data.find("X-Mailer"), std::string::npos) << "provider messages carry no X-Mailer";
    EXPECT_EQ(data.find("Bcc"), std::string::npos);
    EXPECT_NE(data.find("\r\n\r\none\r\n..two\r\n.\r\n"), std::string::npos) << data;
    EXPECT_TRUE(capture.Contains(u"CSMTPMailAPI::Send() ==>"));
    EXPECT_TRUE(capture.Contains(u"CSMTPMailAPI::Send() <== return MAILERR_OK")) << capture.Dump();
}

TEST_F(SendTest, RefusedGreetingIs509WithTheSessionsText) {
    ScriptedSmtpServer server;
    server.Send("554 not today\r\n").Exchange("QUIT", "221 bye\r\n");
    UseServer(server.Start());
    HostMessage message;
    message.To(nullptr, u"to@example.org");
    EXPECT_EQ(m_api.Send(message.Record(), nullptr), MAILERR_ACCESS_DENIED);
    ASSERT_TRUE(server.Finish());
    const std::u16string description = Text(m_api.GetLastError()->szDescription);
    // The session's text, with whatever system error the thread held then.
    EXPECT_EQ(description.rfind(u"CSMTPMailAPI::Send() - An error occured connecting to server. "
                                u"Cannot establish a connection between the client and the server.",
                                0),
              0u)
        << ToUtf8(description);
    EXPECT_TRUE(m_log.Contains(description, 3));
}

TEST_F(SendTest, LongDescriptionsAreCutAt255Characters) {
    ScriptedSmtpServer server;
    const std::string reply = "550 " + std::string(400, 'x') + "\r\n";
    server.Send("220 ready\r\n")
        .Exchange("HELO", "250 hello\r\n")
        .Exchange("MAIL FROM:", reply)
        .Exchange("QUIT", "221 bye\r\n");
    UseServer(server.Start());
    HostMessage message;
    message.Body(u"b").To(nullptr, u"to@example.org");
    EXPECT_EQ(m_api.Send(message.Record(), nullptr), MAILERR_SEND);
    ASSERT_TRUE(server.Finish());
    const std::u16string description = Text(m_api.GetLastError()->szDescription);
    EXPECT_EQ(description.size(), 255u);
    EXPECT_EQ(
        description.rfind(u"CSMTPMailAPI::Send() - An error occured sending the message. ", 0), 0u);
}

}  // namespace
