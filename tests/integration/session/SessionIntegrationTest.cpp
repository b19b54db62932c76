// The session against aiosmtpd: delivery with HELO, STARTTLS with a verified
// server certificate, AUTH PLAIN, LOGIN and CRAM-MD5 with right and wrong
// passwords, NOTIFY parameters, a refused recipient, and the envelope and
// bytes of what arrived.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "CapturingLogProvider.h"
#include "CaughtException.h"
#include "LogCapture.h"
#include "MessageBytes.h"
#include "SmtpTestServerProcess.h"
#include "TestCertificates.h"
#include "diag/HostLog.h"
#include "mime/TSMTPMessage.h"
#include "smtp/TSMTPConnection.h"
#include "transport/TSMTPSSLSocket.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const char16_t* const kUser = u"mailer";
const char16_t* const kPassword = u"s\u00e9cret-42";  // goes out as UTF-8
const char16_t* const kWrongPassword = u"s\u00e9cret-43";

// A message that remembers the header block the session asked it for.
class RecordingMessage : public TSMTPMessage {
public:
    explicit RecordingMessage(const std::u16string& sText = u"") {
        m_From = TSMTPAddress(u"", u"alice@example.org");
        AddRecipient(TSMTPAddress(u"", u"bob@example.org"), TSMTPMessage::TO);
        if (!sText.empty())
            AddTextBody(sText);
    }
    std::string getHeader() override {
        m_sHeaderSent = TSMTPMessage::getHeader();
        return m_sHeaderSent;
    }
    std::string m_sHeaderSent;
};

class SessionIntegration : public ::testing::Test {
protected:
    void SetUp() override {
        SetHostLogProvider(&m_hostLog);
        // The client trusts the test CA, and nothing else.
        testcerts::TrustTestCA();
    }
    void TearDown() override { SetHostLogProvider(nullptr); }

    static SmtpTestServerProcess::Options AuthOptions(bool bTls) {
        SmtpTestServerProcess::Options options;
        if (bTls) {
            options.certFile = testcerts::Path("server.pem");
            options.keyFile = testcerts::Path("server.key");
        }
        options.user = "mailer";
        options.password =
            "s\xc3\xa9"
            "cret-42";
        options.bRequireAuth = true;
        return options;
    }

    static std::unique_ptr<TSMTPConnection> NewSession(bool bStartTLS, DWORD dwCertFlags = 0) {
        auto session = std::make_unique<TSMTPConnection>(bStartTLS, dwCertFlags);
        session->m_dwTimeout = 10000;
        session->SetHeloHostname(u"client.test");
        return session;
    }

    CapturingLogProvider m_hostLog;
};

}  // namespace

TEST_F(SessionIntegration, HeloDeliveryWithCcAndBccArrivesWithTheEnvelopeAndTheBytesSent) {
    SmtpTestServerProcess server({});
    ASSERT_NE(server.Port(), 0) << server.StartError();

    RecordingMessage message;
    message.m_From = TSMTPAddress(u"Alice Sender", u"alice@example.org");
    message.AddRecipient(TSMTPAddress(u"Carol", u"carol@example.org"), TSMTPMessage::CC);
    message.AddRecipient(TSMTPAddress(u"Dave", u"dave@example.org"), TSMTPMessage::BCC);
    message.m_sSubject = u"Quarterly figures";
    message.AddTextBody(u"Dear Bob,\r\n.\r\n..two dots\r\nregards");
    {
        auto session = NewSession(false);
        ASSERT_TRUE(session->Connect(u"127.0.0.1", TSMTPConnection::AUTH_NONE, nullptr, nullptr,
                                     server.Port()));
        session->SendMessageW(message);
    }
    ASSERT_EQ(server.Count(), 1);
    const std::string record = server.Record(1);
    EXPECT_THAT(record, HasSubstr("\"helo\": \"client.test\""));
    EXPECT_THAT(record, HasSubstr("\"extended_smtp\": false"));
    EXPECT_THAT(record, HasSubstr("\"tls\": false"));
    EXPECT_THAT(record, HasSubstr("\"mail_from\": \"alice@example.org\""));
    EXPECT_THAT(
        record,
        HasSubstr(
            "\"rcpt_tos\": [\"bob@example.org\", \"carol@example.org\", \"dave@example.org\"]"));

    // The header block as the session sent it, the empty line, the text
    // (the server undoes the dot doubling) and the line end before the dot.
    const std::string received = server.Message(1);
    ASSERT_FALSE(message.m_sHeaderSent.empty());
    EXPECT_EQ(received,
              message.m_sHeaderSent + "\r\n" + "Dear Bob,\r\n.\r\n..two dots\r\nregards\r\n");
    EXPECT_THAT(received, HasSubstr("Cc: Carol <carol@example.org>\r\n"));
    EXPECT_THAT(received, Not(HasSubstr("dave@")));
}

TEST_F(SessionIntegration, StartTlsWithAVerifiedCertificateThenAuthPlain) {
    SmtpTestServerProcess server(AuthOptions(true));
    ASSERT_NE(server.Port(), 0) << server.StartError();
    RecordingMessage message;
    message.SetMime(true);
    message.AddTextBody(u"over TLS");
    {
        auto session = NewSession(true);
        ASSERT_TRUE(session->Connect(u"localhost", TSMTPConnection::AUTH_PLAIN, kUser, kPassword,
                                     server.Port()));
        EXPECT_TRUE(session->m_pSocket->m_bSecure);
        session->SendMessageW(message);
    }
    ASSERT_EQ(server.Count(), 1);
    const std::string record = server.Record(1);
    EXPECT_THAT(record, HasSubstr("\"tls\": true"));
    EXPECT_THAT(record, HasSubstr("\"auth_mechanism\": \"PLAIN\""));
    EXPECT_THAT(record, HasSubstr("\"auth_user\": \"mailer\""));
    // A MIME message: its parts arrive in emission order, byte for byte.
    EXPECT_EQ(server.Message(1),
              message.m_sHeaderSent + "\r\n" + EmittedBody(message.m_RootPart) + "\r\n");
}

TEST_F(SessionIntegration, EachMechanismChecksThePassword) {
    SmtpTestServerProcess server(AuthOptions(false));
    ASSERT_NE(server.Port(), 0) << server.StartError();
    const struct {
        int type;
        const char* name;
        const char16_t* refusal;
    } mechanisms[] = {
        {TSMTPConnection::CRAM_MD5, "CRAM-MD5",
         u"TSMTPConnection::AuthCramMD5; Authentication unsuccesful!"},
        {TSMTPConnection::AUTH_LOGIN, "LOGIN",
         u"Unexpected AUTH LOGIN password response. Last Response : 535"},
        {TSMTPConnection::AUTH_PLAIN, "PLAIN",
         u"Unexpected AUTH PLAIN password response. Last Response : 535"},
    };
    for (const auto& m : mechanisms) {
        SCOPED_TRACE(m.name);
        RecordingMessage message(u"authenticated");
        auto session = NewSession(false);
        ASSERT_TRUE(session->Connect(u"127.0.0.1", m.type, kUser, kPassword, server.Port()));
        session->SendMessageW(message);
        EXPECT_THAT(server.Record(server.Count()),
                    HasSubstr(std::string("\"auth_mechanism\": \"") + m.name + "\""));

        auto refused = NewSession(false);
        auto e = Catch(
            [&] { refused->Connect(u"127.0.0.1", m.type, kUser, kWrongPassword, server.Port()); });
        ASSERT_TRUE(e);
        EXPECT_EQ(e->m_nKind, 3);
        EXPECT_EQ(e->m_strMessage.rfind(m.refusal, 0), 0u) << ToUtf8(e->m_strMessage);
        EXPECT_EQ(refused->m_pSocket->m_hSocket, INVALID_SOCKET);
    }
    EXPECT_EQ(server.Count(), 3);
}

TEST_F(SessionIntegration, CertificateForAnotherNameIsRefusedUnlessTheFlagsWaiveIt) {
    SmtpTestServerProcess::Options options = AuthOptions(true);
    options.certFile = testcerts::Path("wrongname.pem");  // names wrong.example.com only
    options.keyFile = testcerts::Path("wrongname.key");
    SmtpTestServerProcess server(options);
    ASSERT_NE(server.Port(), 0) << server.StartError();
    auto session = NewSession(true);
    auto e = Catch([&] {
        session->Connect(u"localhost", TSMTPConnection::AUTH_PLAIN, kUser, kPassword,
                         server.Port());
    });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->m_strMessage, u"PolicyStatus error code = 800b010f.");
    EXPECT_EQ(session->m_pSocket->m_hSocket, INVALID_SOCKET);

    // 0x1000 ignores the name.
    EXPECT_TRUE(
        NewSession(true, 0x1000)
            ->Connect(u"localhost", TSMTPConnection::AUTH_PLAIN, kUser, kPassword, server.Port()));
}

TEST_F(SessionIntegration, NotifyParametersReachTheServerAndARefusedRecipientEndsTheTransaction) {
    SmtpTestServerProcess::Options options;
    options.refuse = {"nobody@example.org"};
    SmtpTestServerProcess server(options);
    ASSERT_NE(server.Port(), 0) << server.StartError();

    RecordingMessage message(u"dsn");
    message.AddRecipient(TSMTPAddress(u"", u"carol@example.org"), TSMTPMessage::BCC);
    {
        auto session = NewSession(false);
        session->SetDSNFlags(true, true);
        ASSERT_TRUE(session->Connect(u"127.0.0.1", TSMTPConnection::AUTH_NONE, nullptr, nullptr,
                                     server.Port()));
        session->SendMessageW(message);
        session->SetDSNFlags(false, true);
        session->SendMessageW(message);
        // A later transaction on the same connection with a refused recipient.
        message.AddRecipient(TSMTPAddress(u"", u"nobody@example.org"), TSMTPMessage::CC);
        auto e = Catch([&] { session->SendMessageW(message); });
        ASSERT_TRUE(e);
        EXPECT_EQ(e->m_strMessage.rfind(u"Unexpected RCPT TO response!. Last Response : 550", 0),
                  0u);
    }
    ASSERT_EQ(server.Count(), 2);
    EXPECT_THAT(server.Record(1),
                HasSubstr("{\"address\": \"bob@example.org\", \"params\": "
                          "[\"NOTIFY=SUCCESS,FAILURE\"]}, {\"address\": "
                          "\"carol@example.org\", \"params\": [\"NOTIFY=SUCCESS,FAILURE\"]}"));
    EXPECT_THAT(server.Record(2),
                HasSubstr("{\"address\": \"bob@example.org\", \"params\": [\"NOTIFY=FAILURE\"]}"));
}

TEST_F(SessionIntegration, RepeatedGreetingsStayInStep) {
    // aiosmtpd writes each line of its EHLO reply on its own; read as one
    // reply per read, the session would lose step in most runs.
    SmtpTestServerProcess server(AuthOptions(true));
    ASSERT_NE(server.Port(), 0) << server.StartError();
    for (int i = 0; i < 25; ++i) {
        auto session = NewSession(true);
        ASSERT_TRUE(session->Connect(u"localhost", TSMTPConnection::AUTH_LOGIN, kUser, kPassword,
                                     server.Port()))
            << "run " << i;
        RecordingMessage message(u"run");
        session->SendMessageW(message);
    }
    EXPECT_EQ(server.Count(), 25);
}
