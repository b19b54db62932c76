// The session's transactions against the scripted server: commands and data
// byte for byte, replies split across segments, odd replies, the goodbye.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LoopbackSocket.h"
#include "ScriptedSmtpServer.h"
#include "SessionTestSupport.h"
#include "mime/TSMTPBodyPart.h"
#include "platform/ComputerName.h"
#include "platform/Sockets.h"
#include "platform/WideFormat.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::IsEmpty;
using ::testing::StartsWith;

namespace {

// The envelope and data of a message to one recipient against a willing server.
ScriptedSmtpServer& ScriptTransaction(ScriptedSmtpServer& server) {
    return UpToData(server).ExpectData().Send("250 2.0.0 Ok: queued\r\n");
}

ScriptedSmtpServer& ScriptEhlo(ScriptedSmtpServer& server) {
    return server.Send(kGreeting).Exchange("EHLO", "250 mail.test\r\n");
}

}  // namespace

// Replies whose lines come in separate segments are read to their last line
// (over TLS too: FaultTest's whole dialogue splits its replies the same way);
// the message text goes out transparent, after the header block and its
// empty line.
TEST_F(SessionTest, EhloReplyInOneSegmentPerLineIsReadToItsLastLine) {
    ScriptedSmtpServer server;
    server.Send(kGreeting)
        .Expect("EHLO client.test")
        .SendSegments({"250-mail.test\r\n", "250-SIZE 10240000\r\n", "250-AUTH PLAIN LOGIN\r\n",
                       "250-8BITMIME\r\n", "250 DSN\r\n"})
        .Expect("AUTH PLAIN")
        .SendSegments({"33", "4 \r\n"})  // the challenge line itself in two pieces
        .Exchange("", "235 2.7.0 Authentication successful\r\n");
    ScriptTransaction(server).Exchange("QUIT", "221 Bye\r\n");
    auto message = TextMessage(u".leading dot\r\n.\r\nlast line");
    const SessionRun run =
        Run(server, ConnectAndSend(TSMTPConnection::AUTH_PLAIN, message.get(), u"bob", u"pw"));
    EXPECT_FALSE(run.error);
    EXPECT_THAT(server.Errors(), IsEmpty());
    EXPECT_TRUE(server.ClientClosed());
    EXPECT_THAT(server.Commands(), ElementsAre("EHLO client.test", "AUTH PLAIN",
                                               "AGJvYgBwdw==", "MAIL FROM:<alice@example.org>",
                                               "RCPT TO:<bob@example.org>", "DATA", "QUIT"));
    ASSERT_EQ(server.Data().size(), 1u);
    EXPECT_THAT(server.Data()[0], StartsWith("From: Alice <alice@example.org>\r\nTo: Bob"));
    EXPECT_THAT(server.Data()[0], EndsWith("\r\n\r\n..leading dot\r\n..\r\nlast line\r\n.\r\n"));
}

// A reply is the expected one only when its lines start with the code (the
// last one followed by a blank or nothing), not when the code turns up
// somewhere in a refusal's text (a recipient's refusal is a hostile row).
TEST_F(SessionTest, RepliesCountByTheCodeThatStartsTheirLines) {
    struct Row {
        const char* mail;  // reply to MAIL FROM
        const char* rcpt;  // reply to RCPT TO
        const char* end;   // reply to the end of data
        const char16_t* error;
    };
    const Row rows[] = {
        {"250\r\n", "250 ok\r\n", "250-queued\r\n250 as 1\r\n", nullptr},
        {"250 ok\r\n", "250 ok\r\n", "554 5.7.1 spam score 250.3\r\n",
         u"Unexpected END OF MESSAGE response!. Last Response : 554 5.7.1 spam score 250.3\r\n"},
        {"250 ok\r\n", "250 ok\r\n", "451 4.3.0 queued as 8F2503A\r\n",
         u"Unexpected END OF MESSAGE response!. Last Response : 451 4.3.0 queued as 8F2503A\r\n"},
        {"250-ok\r\n550 but no\r\n", nullptr, nullptr,
         u"Unexpected MAIL FROM response!. Last Response : 250-ok\r\n550 but no\r\n"},
        {"2500 ok\r\n", nullptr, nullptr,
         u"Unexpected MAIL FROM response!. Last Response : 2500 ok\r\n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.mail);
        ScriptedSmtpServer server;
        ScriptEhlo(server).Exchange("MAIL FROM:", r.mail);
        if (r.rcpt != nullptr)
            server.Exchange("RCPT TO:", r.rcpt);
        if (r.end != nullptr)
            server.Exchange("DATA", "354 go\r\n").ExpectData().Send(r.end);
        // A working server that refused something still gets its goodbye.
        server.Exchange("QUIT", "221 Bye\r\n");
        auto message = TextMessage();
        const SessionRun run =
            Run(server, ConnectAndSend(TSMTPConnection::AUTH_NONE, message.get()));
        EXPECT_EQ(ToUtf8(Thrown(run.error)), ToUtf8(r.error ? r.error : u"(none)"));
        EXPECT_EQ(server.Commands().empty() ? "" : server.Commands().back(), "QUIT");
        EXPECT_THAT(server.Errors(), IsEmpty());
    }
}

TEST_F(SessionTest, QuitAnsweredWithAnotherCodeWarnsAndStillCloses) {
    ScriptedSmtpServer server;
    ScriptEhlo(server).Exchange("QUIT", "500 what?\r\n");
    const SessionRun run = Run(server, [&](TSMTPConnection& session, int nPort) {
        ASSERT_TRUE(session.Connect(u"localhost", 0, nullptr, nullptr, nPort));
        session.Disconnect(true);
        EXPECT_TRUE(IsClosed(session));
    });
    EXPECT_FALSE(run.error);
    EXPECT_TRUE(m_hostLog.Contains(u"Disconnect failed!", 4));
    EXPECT_TRUE(server.ClientClosed());
}

TEST_F(SessionTest, ConnectOnAConnectedSessionEndsTheConnection) {
    ScriptedSmtpServer server;
    ScriptEhlo(server).Exchange("QUIT", "221 Bye\r\n");
    const SessionRun run = Run(server, [&](TSMTPConnection& session, int nPort) {
        ASSERT_TRUE(session.Connect(u"localhost", 0, nullptr, nullptr, nPort));
        session.Connect(u"localhost", 0, nullptr, nullptr, nPort);
    });
    ASSERT_TRUE(run.error);
    EXPECT_EQ(run.error->m_nKind, 6);
    EXPECT_EQ(run.error->m_strMessage, u"Socked alredy created!");
    EXPECT_TRUE(m_hostLog.Contains(u"Already connected!", 4));
    EXPECT_TRUE(run.bClosed);
    EXPECT_THAT(server.Commands(), ElementsAre("EHLO client.test", "QUIT"));
}

TEST_F(SessionTest, WithoutAServerNothingIsLeftOpen) {
    int port = 0;  // bound, never listened on, released: nobody listens there
    CloseSocket(BindLoopback(port, false));
    const int before = OpenDescriptors();
    auto session = NewSession();
    ASSERT_TRUE(Catch([&] { session->Connect(u"127.0.0.1", 0, nullptr, nullptr, port); }));
    EXPECT_TRUE(IsClosed(*session));
    EXPECT_EQ(OpenDescriptors(), before);

    auto message = TextMessage();
    EXPECT_EQ(Thrown(Catch([&] { session->SendMessageW(*message); })), u"Socked not created!");
}

TEST_F(SessionTest, EmptySenderAndNoRecipientsAreWarningsAndTheServerDecides) {
    ScriptedSmtpServer server;
    ScriptEhlo(server)
        .Exchange("MAIL FROM:<>", "250 ok\r\n")
        .Exchange("DATA", "503 5.5.1 Error: need RCPT command\r\n")
        .Exchange("QUIT", "221 Bye\r\n");
    TSMTPMessage message;
    message.AddTextBody(u"x");
    const SessionRun run = Run(server, ConnectAndSend(TSMTPConnection::AUTH_NONE, &message));
    EXPECT_EQ(Thrown(run.error),
              u"Unexpected DATA response!. Last Response : 503 5.5.1 Error: need RCPT "
              u"command\r\n");
    EXPECT_TRUE(m_hostLog.Contains(u"Field FROM contains not data.", 4));
    EXPECT_TRUE(m_hostLog.Contains(u"Email must be send to someone.", 4));
    EXPECT_THAT(server.Errors(), IsEmpty());
}

// "auto" is the machine's fully qualified name or, on a machine without
// one, the address literal of the connection; any other text ("Auto" too) is
// the name itself.
TEST_F(SessionTest, HeloNameAutoIsTheFullyQualifiedNameOrTheLocalAddress) {
    const std::string fqdn = platform::FullyQualifiedComputerName();
    for (const char16_t* name : {u"auto", u"Auto"}) {
        ScriptedSmtpServer server;
        server.Send(kGreeting).Exchange("EHLO", "250 hi\r\n").Exchange("QUIT", "221 Bye\r\n");
        const SessionRun run = Run(server, [&](TSMTPConnection& session, int nPort) {
            session.SetHeloHostname(name);
            session.Connect(u"127.0.0.1", 0, nullptr, nullptr, nPort);
        });
        const std::string hello = server.Commands().empty() ? "" : server.Commands()[0];
        EXPECT_TRUE(name[0] == u'A'
                        ? hello == "EHLO Auto"
                        : hello == "EHLO [127.0.0.1]" ||
                              (hello == "EHLO " + fqdn && fqdn.find('.') != std::string::npos))
            << hello;
    }
}

// NOTIFY goes only to a server that lists DSN (RFC 3461), after the last
// EHLO; otherwise the message goes without it, and the host log says why.
TEST_F(SessionTest, NotifyOnlyToAServerThatOffersDsn) {
    const char* const kWarning =
        "The server offers no delivery status notifications (DSN): the message goes without "
        "NOTIFY.";
    const struct {
        const char* ehlo;  // null: EHLO refused, HELO
        bool bSuccess, bFailure;
        const char* notify;  // after the recipient; null: none, and the warning
    } rows[] = {
        {"250-mail.test\r\n250-DSN\r\n250 8BITMIME\r\n", true, true, " NOTIFY=SUCCESS,FAILURE"},
        {"250-mail.test\r\n250 dsn\r\n", false, true, " NOTIFY=FAILURE"},
        {"250-mail.test\r\n250 DSN\r\n", true, false, " NOTIFY=SUCCESS"},
        {"250-mail.test\r\n250 DSN\r\n", false, false, ""},
        {"250-mail.test\r\n250-DSNX\r\n250 SIZE 100 DSN\r\n", true, true, nullptr},
        {"250 mail.test DSN\r\n", false, true, nullptr},
        {nullptr, true, false, nullptr},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.ehlo ? r.ehlo : "HELO");
        ScriptedSmtpServer server;
        server.Send(kGreeting);
        if (r.ehlo != nullptr)
            server.Exchange("EHLO", r.ehlo);
        else
            server.Exchange("EHLO", "502 no\r\n").Exchange("HELO", "250 mail.test\r\n");
        ScriptTransaction(server).Exchange("QUIT", "221 Bye\r\n");
        auto message = TextMessage();
        m_hostLog.Clear();
        const SessionRun run = Run(server, [&](TSMTPConnection& session, int nPort) {
            session.Connect(u"localhost", TSMTPConnection::AUTH_NONE, nullptr, nullptr, nPort);
            session.SetDSNFlags(r.bSuccess, r.bFailure);
            session.SendMessageW(*message);
        });
        EXPECT_FALSE(run.error);
        EXPECT_THAT(server.Commands(), Contains(std::string("RCPT TO:<bob@example.org>") +
                                                (r.notify ? r.notify : "")));
        EXPECT_EQ(m_hostLog.Contains(FromUtf8(kWarning), 4), r.notify == nullptr);
    }
}

// An address beyond ASCII goes only to a server that lists SMTPUTF8: MAIL
// FROM says so, and the addresses go in UTF-8 in the envelope and the header
// block (the display name stays an encoded word). Without it nothing is sent,
// MAIL FROM included (kind 4: a capability the server lacks).
TEST_F(SessionTest, AddressInUtf8OnlyToAServerThatOffersSmtpUtf8) {
    for (const char* ehlo : {"250-mail.test\r\n250 SMTPUTF8\r\n", "250-mail.test\r\n250 DSN\r\n"}) {
        const bool bOffered = std::string(ehlo).find("SMTPUTF8") != std::string::npos;
        ScriptedSmtpServer server;
        server.Send(kGreeting).Exchange("EHLO", ehlo);
        if (bOffered)
            ScriptTransaction(server);
        server.Exchange("QUIT", "221 Bye\r\n");
        auto message = TextMessage();
        message->SetCharset(u"utf-8");
        message->m_From = TSMTPAddress(u"J\u00f6rg", u"j\u00f6rg@xn--bcher-kva.example");
        const SessionRun run =
            Run(server, ConnectAndSend(TSMTPConnection::AUTH_NONE, message.get()));
        EXPECT_THAT(server.Errors(), IsEmpty());
        if (!bOffered) {
            ASSERT_TRUE(run.error);
            EXPECT_EQ(run.error->m_nKind, 4);
            EXPECT_EQ(run.error->m_strMessage,
                      u"The server does not accept internationalized "
                      u"addresses: j\u00f6rg@xn--bcher-kva.example");
            EXPECT_THAT(server.Commands(), ElementsAre("EHLO client.test", "QUIT"));
            continue;
        }
        EXPECT_FALSE(run.error);
        EXPECT_THAT(server.Commands(),
                    ElementsAre("EHLO client.test",
                                "MAIL FROM:<j\xc3\xb6rg@xn--bcher-kva.example> SMTPUTF8",
                                "RCPT TO:<bob@example.org>", "DATA", "QUIT"));
        ASSERT_EQ(server.Data().size(), 1u);
        EXPECT_THAT(server.Data()[0], StartsWith("From: =?utf-8?q?J=C3=B6rg?= "
                                                 "<j\xc3\xb6rg@xn--bcher-kva.example>\r\n"));
    }
}

TEST_F(SessionTest, MissingHostUserAndPasswordAreWarnings) {
    auto session = NewSession();
    EXPECT_EQ(Thrown(Catch([&] { session->Connect(nullptr, 0, nullptr, nullptr, 25); })),
              u"Not allowed host adress!");
    EXPECT_TRUE(m_hostLog.Contains(u"HostName not specified!", 4));
    EXPECT_TRUE(IsClosed(*session));

    ScriptedSmtpServer server;
    server.Send(kGreeting).Exchange("EHLO", "250 mail.test\r\n").Exchange("QUIT", "221 Bye\r\n");
    const SessionRun run =
        Run(server, ConnectAndSend(TSMTPConnection::AUTH_OAUTH2, nullptr, nullptr, nullptr));
    EXPECT_FALSE(run.error);
    EXPECT_TRUE(m_hostLog.Contains(u"User not specified!", 4));
    EXPECT_TRUE(m_hostLog.Contains(u"Password not specified!", 4));
    EXPECT_THAT(server.Commands(), ElementsAre("EHLO client.test", "QUIT"));
}

// The server on one loopback address: reached by an address literal of its
// family, and by the names of the hosts file that fit (those rows are left
// out where the file has no such name; Debian's names ::1 ip6-localhost and
// localhost).
TEST_F(SessionTest, ReachesTheServerOnEitherFamily) {
    struct Row {
        std::u16string host;
        bool bIPv6;  // where the server listens
    };
    std::vector<Row> rows = {{u"[::1]", true}, {u"::1", true}, {u"127.0.0.1", false}};
    for (const char16_t* name : {u"localhost", u"ip6-localhost", u"ip6-loopback"}) {
        std::vector<platform::SocketAddress> a;
        if (platform::ResolveHost(name, 25, 5000, a) != 0)
            continue;
        if (a.size() == 1 && a[0].nFamily == platform::AF_INET6_)
            rows.push_back({name, true});  // IPv6 alone
        else if (a.size() >= 2 && a[0].nFamily != a[1].nFamily)
            rows.push_back({name, a[1].nFamily == platform::AF_INET6_});  // the first refuses
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(ToUtf8(row.host));
        ScriptedSmtpServer server;
        ScriptEhlo(server).Exchange("QUIT", "221 Bye\r\n");
        const int port = server.Start(0, row.bIPv6);
        auto session = NewSession();
        auto e = Catch([&] { session->Connect(row.host.c_str(), 0, nullptr, nullptr, port); });
        ASSERT_FALSE(e) << ToUtf8(e->GetErrorText());
        const std::string address = row.bIPv6 ? "::1" : "127.0.0.1";
        EXPECT_EQ(session->m_pSocket->PeerAddress(), address);
        EXPECT_TRUE(m_hostLog.Contains(u"Connected to " + row.host + u" (" + FromUtf8(address) +
                                           u") port " + platform::WFormat(u"%d", port) + u".",
                                       HOSTLOG_PROGRESS));
        session.reset();
        ASSERT_TRUE(server.Finish());
        EXPECT_THAT(server.Commands(), ElementsAre("EHLO client.test", "QUIT"));
    }
}
