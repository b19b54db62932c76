#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "CaughtException.h"
#include "Environment.h"
#include "LogCapture.h"
#include "ScratchDir.h"
#include "ScriptedSmtpServer.h"
#include "diag/HostLog.h"
#include "transport/TSMTPException.h"
#include "transport/TSMTPSSLSocket.h"

namespace {

using Tls = ScriptedSmtpServer::Tls;

class TSMTPSSLSocketTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { TrustTestCa(); }

    void Open(ScriptedSmtpServer& server, bool bPlain = false) {
        server.UseCertificate(TestCertificate("server.pem"), TestCertificate("server.key"));
        m_socket.Create(nullptr, 0, 0);
        ASSERT_EQ(m_socket.Connect(u"127.0.0.1", server.Start()), 1);
        if (!bPlain)
            m_error = Catch([&] { m_socket.StartClientHandshake(u"localhost"); });
    }
    void SendText(const std::string& text) {
        ASSERT_EQ(m_socket.Send(text.data(), static_cast<unsigned>(text.size())),
                  static_cast<int>(text.size()));
    }
    std::string ReceiveOnce(unsigned len = 64000) {
        std::vector<char> buf(len);
        const int n = m_socket.Receive(buf.data(), len);
        return std::string(buf.data(), n > 0 ? static_cast<size_t>(n) : 0);
    }
    std::string ReceiveAll(size_t count) {
        std::string data, part;
        while (data.size() < count && !(part = ReceiveOnce()).empty())
            data += part;
        return data;
    }
    static size_t CountRecords(const LogCapture& log, const std::u16string& prefix) {
        const auto records = log.Records();
        return std::count_if(records.begin(), records.end(),
                             [&](const auto& r) { return r.message.starts_with(prefix); });
    }

    TSMTPSSLSocket m_socket;
    std::optional<TSMTPException> m_error;  // of the handshake
};

}  // namespace

TEST_F(TSMTPSSLSocketTest, SocketStateAndConnectionFailures) {
    TSMTPSSLSocket s;
    char buf[4];
    for (const auto& op : std::vector<std::function<void()>>{
             [&] { s.Connect(u"127.0.0.1", 25); }, [&] { s.Send("x", 1); },
             [&] { s.Receive(buf, 4); }, [&] { s.IsReadable(0); }, [&] { s.Close(); }}) {
        auto e = Catch(op);
        ASSERT_TRUE(e) << "no exception without a socket";
        EXPECT_EQ(e->m_strMessage, u"Socked not created!");
        EXPECT_EQ(e->m_nKind, 6);
    }
    // A name that does not resolve (no name at all is the session's test).
    s.Create();
    auto e = Catch([&] { s.Connect(u"no-such-host.invalid", 25); });
    ASSERT_TRUE(e);
    EXPECT_EQ(
        e->m_strMessage,
        u"Cannot retrieve host information corresponding to a host name from a host database!");
    EXPECT_TRUE(e->m_dwError >= 11001u && e->m_dwError <= 11004u) << e->m_dwError;
    s.Close();
}

// TLS 1.3: session tickets (with the handshake's end, behind a reply, alone)
// and a key update never look like data or the stream's end; bytes beyond a
// small buffer wait for the next Receive without touching the socket.
TEST_F(TSMTPSSLSocketTest, Tls13PostHandshakeMessagesAreInvisible) {
    ScriptedSmtpServer server;
    const std::string reply = "<" + std::string(998, 'r') + ">";
    server
        .StartTls(Tls::V13)  // two tickets go out with the end of the handshake
        .Exchange("cmd0", "reply0\r\n")
        .Expect("cmd1")
        .SendTls({"reply1\r\n", ScriptedSmtpServer::kTicket})
        .Expect("cmd2")
        .SendTls({ScriptedSmtpServer::kTicket})
        .Send("reply2\r\n")
        .Expect("cmd3")
        .SendTls({ScriptedSmtpServer::kKeyUpdate})
        .Send("reply3\r\n")
        .Exchange("cmd4", reply);
    Open(server);
    ASSERT_FALSE(m_error) << ToUtf8(m_error->m_strMessage);
    for (const char* n : {"0", "1", "2", "3"}) {
        SendText(std::string("cmd") + n + "\r\n");
        EXPECT_EQ(ReceiveAll(8), std::string("reply") + n + "\r\n");
    }
    SendText("cmd4\r\n");  // read with the client's new keys
    EXPECT_EQ(ReceiveOnce(100), "<" + std::string(99, 'r'));
    EXPECT_TRUE(m_socket.IsReadable(0)) << "decrypted bytes wait for the caller";
    LogCapture log;
    EXPECT_EQ(ReceiveOnce(600), std::string(600, 'r'));
    EXPECT_EQ(ReceiveOnce(), std::string(299, 'r') + ">");
    EXPECT_EQ(CountRecords(log, u"Recive data;"), 0u) << "pending bytes must not touch the socket";
    m_socket.Close();
    ASSERT_TRUE(server.Finish());
    EXPECT_THAT(server.Errors(), ::testing::IsEmpty());
    EXPECT_EQ(server.TlsVersion(), "TLSv1.3");
    EXPECT_EQ(server.ServerName(), "localhost");
}

// TLS 1.2 after STARTTLS: a reply with the server's last handshake message
// is kept, two records of one segment come out of one read.
TEST_F(TSMTPSSLSocketTest, Tls12AfterStartTls) {
    std::string payload(100000, '\0');
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>('A' + (i * 7 + i / 251) % 26);
    ScriptedSmtpServer server;
    server.Send("220 ready\r\n")
        .Exchange("STARTTLS", "220 go ahead\r\n")
        .StartTls(Tls::V12, true)
        .Send("220 after handshake\r\n")
        .Expect("go")
        .SendTls({"first|", "second"})
        .ExpectText(payload + "\r\n")
        .Send(payload);
    Open(server, true);
    EXPECT_EQ(ReceiveAll(11), "220 ready\r\n");
    SendText("STARTTLS\r\n");
    EXPECT_EQ(ReceiveAll(14), "220 go ahead\r\n");
    EXPECT_EQ(m_socket.StartClientHandshake(u"localhost"), 1);
    EXPECT_TRUE(m_socket.IsReadable(0)) << "the greeting came with the handshake";
    EXPECT_EQ(ReceiveAll(21), "220 after handshake\r\n");
    SendText("go\r\n");
    LogCapture log;
    EXPECT_EQ(ReceiveOnce(), "first|second");
    EXPECT_EQ(CountRecords(log, u"Recive data;"), 1u) << log.Dump();
    EXPECT_EQ(CountRecords(log, u"Decrypt a message;"), 2u) << log.Dump();
    log.Clear();
    SendText(payload + "\r\n");
    EXPECT_EQ(CountRecords(log, u"Encrypt a message;"), 7u);  // 6 x 16384 + 1698
    EXPECT_EQ(ReceiveAll(payload.size()), payload);
    m_socket.Close();
    EXPECT_EQ(m_socket.m_bSecure, 0);
    EXPECT_EQ(m_socket.m_hSocket, INVALID_SOCKET);
    ASSERT_TRUE(server.Finish());
    EXPECT_EQ(server.TlsVersion(), "TLSv1.2");
    EXPECT_TRUE(server.CloseNotifyReceived()) << "Close must send close_notify";
}

// A close_notify (logged) or a close between records ends the stream; a
// close inside a record is an error.
TEST_F(TSMTPSSLSocketTest, EndsOfTheStream) {
    const struct {
        std::vector<std::string> items;
        size_t nCut;
        const char* data;
        std::u16string error;  // of kind 3
    } cases[] = {
        {{"bye", ScriptedSmtpServer::kCloseNotify}, SIZE_MAX, "bye", u""},
        {{ScriptedSmtpServer::kCloseNotify}, SIZE_MAX, "", u""},
        {{"last words"}, SIZE_MAX, "last words", u""},
        {{std::string(500, 'x')}, 100, "", u"**** Server unexpectedly disconnected\n."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.data);
        CapturingLogProvider host;
        SetHostLogProvider(&host);
        ScriptedSmtpServer server;
        server.StartTls().Expect("go").SendTls(c.items, c.nCut).Close();
        Open(server);
        SendText("go\r\n");
        auto e = Catch([&] { EXPECT_EQ(ReceiveAll(1000), c.data); });
        SetHostLogProvider(nullptr);
        EXPECT_EQ(e ? e->m_strMessage : u"", c.error);
        EXPECT_EQ(e ? e->m_nKind : 3, 3);
        if (c.items.size() == 2) {
            EXPECT_TRUE(
                host.Contains(u"The message sender has finished using the connection and "
                              u"has initiated a shutdown. HRESULT = 90317\n.",
                              4));
        }
        Catch([&] { m_socket.Close(); });  // the close_notify may find the connection gone
        EXPECT_TRUE(server.Finish());
    }
}

TEST_F(TSMTPSSLSocketTest, HandshakeWithAServerWithoutTls) {
    ScriptedSmtpServer server;
    server.Send("454 TLS not available due to temporary reason\r\n").StaySilent();
    Open(server);
    ASSERT_TRUE(m_error) << "handshake with a text reply succeeded";
    EXPECT_EQ(m_error->m_strMessage, u"The TLS handshake failed.");
    EXPECT_EQ(m_error->m_dwError, 0x80090326u);  // SEC_E_ILLEGAL_MESSAGE
    EXPECT_NE(m_error->m_strErrorMessage, u"") << "the failure in words";
    EXPECT_EQ(m_socket.m_bSecure, 0);
    m_socket.Close();
}

// The certificate named at Create (by its whole common name, in any case),
// from the user's MY store or else the machine's.
TEST_F(TSMTPSSLSocketTest, ClientCertificateByItsNameFromTheStores) {
    ScratchDir scratch;
    const std::string root = scratch.File("stores");
    ScopedEnv stores({{"SMTPMAIL_CERT_STORE_ROOT", root.c_str()}});
    const std::tuple<const char*, const char16_t*, bool> rows[] = {
        {"CurrentUser", u"SMTP Mail Test Client", true},
        {"LocalMachine", u"smtp mail test client", true},
        {"CurrentUser", u"Test Client", false}};
    for (const auto& [store, name, bFound] : rows) {
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root + "/" + store + "/MY");
        std::filesystem::copy_file(TestCertificate("client.pem"),
                                   root + "/" + store + "/MY/client.pem");
        ScriptedSmtpServer server;
        server.RequestClientCertificate();
        server.StartTls().StaySilent();
        server.UseCertificate(TestCertificate("server.pem"), TestCertificate("server.key"));
        TSMTPSSLSocket s;  // a fresh one: the store stays open with its socket
        s.Create(name, 0, 0);
        ASSERT_EQ(s.Connect(u"127.0.0.1", server.Start()), 1);
        const auto e = Catch([&] { s.StartClientHandshake(u"localhost"); });
        EXPECT_EQ(e ? ToUtf8(e->m_strMessage) : "",
                  bFound ? "" : "Cannot open common system certificate store!");
        s.Close();
        ASSERT_TRUE(server.Finish());
        EXPECT_EQ(server.ClientCertificateName(), bFound ? "SMTP Mail Test Client" : "");
    }
}
