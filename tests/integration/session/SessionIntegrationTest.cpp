// The session against aiosmtpd: delivery with HELO, STARTTLS with a verified
// server certificate, AUTH PLAIN, LOGIN and CRAM-MD5 with right and wrong
// passwords, NOTIFY parameters, a refused recipient, and the envelope and
// bytes of what arrived.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "CapturingLogProvider.h"
#include "SmtpTestCertificates.h"
#include "SmtpTestServerProcess.h"
#include "diag/HostLog.h"
#include "mime/TSMTPBodyPart.h"
#include "mime/TSMTPMessage.h"
#include "smtp/TSMTPConnection.h"
#include "transport/TSMTPException.h"
#include "transport/TSMTPSSLSocket.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const char16_t* const kUser = u"mailer";
const char16_t* const kPassword = u"s\u00e9cret-42";  // goes out as UTF-8
const char* const kUserUtf8 = "mailer";
const char* const kPasswordUtf8 =
    "s\xc3\xa9"
    "cret-42";

// A message that remembers the header block the session asked it for.
class RecordingMessage : public TSMTPMessage {
public:
    std::string getHeader() override {
        m_sHeaderSent = TSMTPMessage::getHeader();
        return m_sHeaderSent;
    }
    std::string m_sHeaderSent;
};

std::optional<TSMTPException> Catch(const std::function<void()>& call) {
    try {
        call();
    } catch (const TSMTPException& e) {
        return e;
    }
    return std::nullopt;
}

std::string Narrow(const std::u16string& text) {
    std::string s;
    for (char16_t c : text)
        s += c < 0x80 ? static_cast<char>(c) : '?';
    return s;
}

class SessionIntegration : public ::testing::Test {
protected:
    void SetUp() override {
        SetHostLogProvider(&m_hostLog);
        // The client trusts the test CA, and nothing else.
        setenv("SSL_CERT_FILE", SmtpTestCertificates::CaFile().c_str(), 1);
    }
    void TearDown() override { SetHostLogProvider(nullptr); }

    static SmtpTestServerProcess::Options TlsAuthOptions() {
        SmtpTestServerProcess::Options options;
        options.certFile = SmtpTestCertificates::ServerCertFile();
        options.keyFile = SmtpTestCertificates::ServerKeyFile();
        options.user = kUserUtf8;
        options.password = kPasswordUtf8;
        options.bRequireAuth = true;
        return options;
    }

    static std::unique_ptr<TSMTPConnection> NewSession(bool bStartTLS) {
        auto session = std::make_unique<TSMTPConnection>(bStartTLS, 0);
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
    message.AddRecipient(TSMTPAddress(u"Bob", u"bob@example.org"), TSMTPMessage::TO);
    message.AddRecipient(TSMTPAddress(u"Carol", u"carol@example.org"), TSMTPMessage::CC);
    message.AddRecipient(TSMTPAddress(u"Dave", u"dave@example.org"), TSMTPMessage::BCC);
    message.m_sSubject = u"Quarterly figures";
    const std::u16string text = u"Dear Bob,\r\n.\r\n..two dots\r\nregards";
    message.AddTextBody(text);
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
    SmtpTestServerProcess server(TlsAuthOptions());
    ASSERT_NE(server.Port(), 0) << server.StartError();
    RecordingMessage message;
    message.m_From = TSMTPAddress(u"", u"alice@example.org");
    message.AddRecipient(TSMTPAddress(u"", u"bob@example.org"), TSMTPMessage::TO);
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
    std::string body;
    auto take = [&body](TSMTPBodyPart* part, bool header) {
        char* buffer = nullptr;
        DWORD size = 0;
        if (header) {
            ASSERT_TRUE(part->GetHeader(buffer, size));
            body.append(buffer, size);
            TSMTPBodyPart::FreeHeader(buffer);
        } else {
            ASSERT_TRUE(part->GetBody(buffer, size));
            body.append(buffer != nullptr ? buffer : "", size);
            TSMTPBodyPart::FreeBody(buffer);
        }
    };
    take(&message.m_RootPart, false);
    for (int i = 0; i < message.m_RootPart.GetNumberOfChildBodyParts(); ++i) {
        take(message.m_RootPart.GetChildBodyPart(i), true);
        take(message.m_RootPart.GetChildBodyPart(i), false);
    }
    char* footer = nullptr;
    DWORD size = 0;
    ASSERT_TRUE(message.m_RootPart.GetFooter(footer, size));
    body.append(footer, size);
    TSMTPBodyPart::FreeFooter(footer);
    EXPECT_EQ(server.Message(1), message.m_sHeaderSent + "\r\n" + body + "\r\n");
}

TEST_F(SessionIntegration, AuthLoginAndCramMd5AcceptedAndAllThreeRefusedWithAWrongPassword) {
    SmtpTestServerProcess server(TlsAuthOptions());
    ASSERT_NE(server.Port(), 0) << server.StartError();

    for (int type :
         {TSMTPConnection::AUTH_LOGIN, TSMTPConnection::CRAM_MD5, TSMTPConnection::AUTH_PLAIN}) {
        SCOPED_TRACE(type);
        auto session = NewSession(true);
        EXPECT_TRUE(session->Connect(u"localhost", type, kUser, kPassword, server.Port()));
    }

    struct Wrong {
        int type;
        const char16_t* message;
    } wrong[] = {
        {TSMTPConnection::AUTH_PLAIN,
         u"Unexpected AUTH PLAIN password response. Last Response : 535"},
        {TSMTPConnection::AUTH_LOGIN,
         u"Unexpected AUTH LOGIN password response. Last Response : 535"},
        {TSMTPConnection::CRAM_MD5, u"TSMTPConnection::AuthCramMD5; Authentication unsuccesful!"},
    };
    for (const Wrong& w : wrong) {
        SCOPED_TRACE(w.type);
        auto session = NewSession(true);
        auto e = Catch([&] {
            session->Connect(u"localhost", w.type, kUser, u"s\u00e9cret-43", server.Port());
        });
        ASSERT_TRUE(e);
        EXPECT_EQ(e->m_nKind, 3);
        EXPECT_EQ(e->m_strMessage.rfind(w.message, 0), 0u) << Narrow(e->m_strMessage);
        EXPECT_EQ(session->m_pSocket->m_hSocket, platform::INVALID_SOCKET);
    }
}

TEST_F(SessionIntegration, CertificateForAnotherNameIsRefusedUnlessTheFlagsWaiveIt) {
    SmtpTestServerProcess server(TlsAuthOptions());
    ASSERT_NE(server.Port(), 0) << server.StartError();
    // The certificate names localhost only.
    auto session = NewSession(true);
    auto e = Catch([&] {
        session->Connect(u"127.0.0.1", TSMTPConnection::AUTH_PLAIN, kUser, kPassword,
                         server.Port());
    });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->m_strMessage, u"PolicyStatus error code = 800b010f.");
    EXPECT_EQ(session->m_pSocket->m_hSocket, platform::INVALID_SOCKET);

    // 0x1000 ignores the name.
    auto waived = std::make_unique<TSMTPConnection>(true, 0x1000);
    waived->m_dwTimeout = 10000;
    EXPECT_TRUE(waived->Connect(u"127.0.0.1", TSMTPConnection::AUTH_PLAIN, kUser, kPassword,
                                server.Port()));
}

TEST_F(SessionIntegration, NotifyParametersReachTheServerAndARefusedRecipientEndsTheTransaction) {
    SmtpTestServerProcess::Options options;
    options.refuse = {"nobody@example.org"};
    SmtpTestServerProcess server(options);
    ASSERT_NE(server.Port(), 0) << server.StartError();

    TSMTPMessage message;
    message.m_From = TSMTPAddress(u"", u"alice@example.org");
    message.AddRecipient(TSMTPAddress(u"", u"bob@example.org"), TSMTPMessage::TO);
    message.AddRecipient(TSMTPAddress(u"", u"carol@example.org"), TSMTPMessage::BCC);
    message.AddTextBody(u"dsn");
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
    SmtpTestServerProcess server(TlsAuthOptions());
    ASSERT_NE(server.Port(), 0) << server.StartError();
    for (int i = 0; i < 25; ++i) {
        auto session = NewSession(true);
        ASSERT_TRUE(session->Connect(u"localhost", TSMTPConnection::AUTH_LOGIN, kUser, kPassword,
                                     server.Port()))
            << "run " << i;
        TSMTPMessage message;
        message.m_From = TSMTPAddress(u"", u"alice@example.org");
        message.AddRecipient(TSMTPAddress(u"", u"bob@example.org"), TSMTPMessage::TO);
        message.AddTextBody(u"run");
        session->SendMessageW(message);
    }
    EXPECT_EQ(server.Count(), 25);
}

TEST_F(SessionIntegration, EachMechanismInPlainTextChecksThePassword) {
    SmtpTestServerProcess::Options options;
    options.user = kUserUtf8;
    options.password = kPasswordUtf8;
    options.bRequireAuth = true;
    SmtpTestServerProcess server(options);
    ASSERT_NE(server.Port(), 0) << server.StartError();
    const int types[] = {TSMTPConnection::CRAM_MD5, TSMTPConnection::AUTH_LOGIN,
                         TSMTPConnection::AUTH_PLAIN};
    for (int type : types) {
        SCOPED_TRACE(type);
        TSMTPMessage message;
        message.m_From = TSMTPAddress(u"", u"alice@example.org");
        message.AddRecipient(TSMTPAddress(u"", u"bob@example.org"), TSMTPMessage::TO);
        message.AddTextBody(u"authenticated");
        auto session = NewSession(false);
        ASSERT_TRUE(session->Connect(u"127.0.0.1", type, kUser, kPassword, server.Port()));
        session->SendMessageW(message);

        auto refused = NewSession(false);
        EXPECT_TRUE(Catch(
            [&] { refused->Connect(u"127.0.0.1", type, kUser, u"secret-42", server.Port()); }));
    }
    ASSERT_EQ(server.Count(), 3);
    EXPECT_THAT(server.Record(1), HasSubstr("\"auth_mechanism\": \"CRAM-MD5\""));
    EXPECT_THAT(server.Record(2), HasSubstr("\"auth_mechanism\": \"LOGIN\""));
    EXPECT_THAT(server.Record(3), HasSubstr("\"auth_mechanism\": \"PLAIN\""));
    EXPECT_THAT(server.Record(3), HasSubstr("\"auth_user\": \"mailer\""));
}
