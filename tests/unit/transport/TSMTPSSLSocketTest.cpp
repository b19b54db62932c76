// TSMTPSSLSocket against real peers on loopback: plain TCP, and TLS 1.2 and
// 1.3 servers with scripted record layouts and certificates made at run time.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "CapturingLogProvider.h"
#include "CaughtException.h"
#include "LogCapture.h"
#include "LoopbackSocket.h"
#include "TestCertificates.h"
#include "TlsTestServer.h"
#include "diag/HostLog.h"
#include "platform/Sockets.h"
#include "transport/TSMTPException.h"
#include "transport/TSMTPSSLSocket.h"

namespace {

class TSMTPSSLSocketTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testcerts::TrustTestCA(); }

    // A socket connected to 127.0.0.1:port with the given certificate flags.
    static void Open(TSMTPSSLSocket& s, int port, DWORD dwCertFlags = 0) {
        s.Create(nullptr, 0, dwCertFlags);
        ASSERT_EQ(s.Connect(u"127.0.0.1", port), 1);
    }

    // Open, the handshake for localhost, and one byte that tells the server
    // to go on with its script.
    static void Secure(TSMTPSSLSocket& s, const TlsTestServer& server, bool bPoke = true) {
        Open(s, server.Port());
        ASSERT_EQ(s.StartClientHandshake(u"localhost"), 1);
        if (bPoke)
            SendText(s, "?");
    }

    // Receives until count bytes arrived or the stream ended.
    static std::string ReceiveAll(TSMTPSSLSocket& s, size_t count) {
        std::string data;
        std::vector<char> buf(64000);
        while (data.size() < count) {
            int n = s.Receive(buf.data(), static_cast<unsigned>(buf.size()));
            if (n <= 0)
                break;
            data.append(buf.data(), static_cast<size_t>(n));
        }
        return data;
    }

    static std::string ReceiveOnce(TSMTPSSLSocket& s, unsigned len = 64000) {
        std::vector<char> buf(len);
        int n = s.Receive(buf.data(), len);
        return std::string(buf.data(), n > 0 ? static_cast<size_t>(n) : 0);
    }

    static void SendText(TSMTPSSLSocket& s, const std::string& text) {
        ASSERT_EQ(s.Send(text.data(), static_cast<unsigned>(text.size())),
                  static_cast<int>(text.size()));
    }

    static size_t CountRecords(const LogCapture& log, const std::u16string& prefix) {
        size_t n = 0;
        for (const auto& r : log.Records())
            n += r.message.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }

    // The exception of StartClientHandshake against a server with the given
    // certificate; nothing when the handshake passed.
    static std::optional<TSMTPException> HandshakeWithCertificate(
        const std::string& name, DWORD dwCertFlags, const char16_t* pszServerName = u"localhost") {
        TlsTestServer server(
            [](TlsServerConnection& c) {
                c.Handshake();
                c.WaitCloseNotify();
            },
            {testcerts::Path(name + ".pem"), testcerts::Path(name + ".key")});
        TSMTPSSLSocket s;
        Open(s, server.Port(), dwCertFlags);
        auto e = Catch([&] { s.StartClientHandshake(pszServerName); });
        EXPECT_EQ(s.m_bSecure, e ? 0 : 1);
        s.Close();
        return e;
    }
};

}  // namespace

// ----- plain TCP -------------------------------------------------------------------

TEST_F(TSMTPSSLSocketTest, PlainModePassesBytesThroughUnchanged) {
    TlsTestServer server([](TlsServerConnection& c) {
        c.WritePlain("220 ready\r\n");
        std::string line = c.ReadPlainLine();
        c.WritePlain("250 got " + line);
        c.ReadPlainLine();
    });
    TSMTPSSLSocket s;
    Open(s, server.Port());
    EXPECT_TRUE(s.IsReadable(10000));
    EXPECT_EQ(ReceiveAll(s, 11), "220 ready\r\n");
    SendText(s, "EHLO me\r\n");
    EXPECT_EQ(ReceiveAll(s, 17), "250 got EHLO me\r\n");
    // A silent server: the wait times out.
    EXPECT_FALSE(s.IsReadable(0));
    EXPECT_FALSE(s.IsReadable(30));
    SendText(s, "QUIT\r\n");
    EXPECT_EQ(ReceiveOnce(s), "");  // the server closed
    s.Close();
    EXPECT_EQ(s.m_hSocket, INVALID_SOCKET);
    EXPECT_EQ(server.Finish(), "");
}

TEST_F(TSMTPSSLSocketTest, SocketStateFaults) {
    TSMTPSSLSocket s;
    char buf[4];
    for (auto op : std::vector<std::function<void()>>{
             [&] { s.Connect(u"127.0.0.1", 25); }, [&] { s.Send("x", 1); },
             [&] { s.Receive(buf, 4); }, [&] { s.IsReadable(0); }, [&] { s.Close(); }}) {
        auto e = Catch(op);
        ASSERT_TRUE(e) << "no exception without a socket";
        EXPECT_EQ(e->m_strMessage, u"Socked not created!");
        EXPECT_EQ(e->m_nKind, 6);
    }
    auto e = Catch([&] { s.Receive(nullptr, 4); });
    ASSERT_TRUE(e) << "a null buffer must be refused";
    EXPECT_EQ(e->m_strMessage, u"Bad input parameters.");
    EXPECT_EQ(e->m_nKind, 3);

    // Create twice is refused; after Close a new socket is fine.
    s.Create(u"ignored", 0x800, 0x1000);
    EXPECT_EQ(s.m_dwCertFlags, 0x1000u);
    platform::SOCKET first = s.m_hSocket;
    e = Catch([&] { s.Create(nullptr, 0, 0); });
    ASSERT_TRUE(e) << "second Create accepted";
    EXPECT_EQ(e->m_strMessage, u"Socked alredy created!");
    EXPECT_EQ(e->m_nKind, 6);
    EXPECT_EQ(s.m_hSocket, first);
    s.Close();
    s.Create();
    s.Close();
}

TEST_F(TSMTPSSLSocketTest, ConnectionFailuresCarryTheirWinsockErrors) {
    // A port that is bound but not listening refuses connections, and stays
    // ours while the test runs.
    int port = 0;
    const int holder = BindLoopback(port, false);
    ASSERT_GE(holder, 0);
    TSMTPSSLSocket s;
    s.Create();
    auto e = Catch([&] { s.Connect(u"127.0.0.1", port); });
    ::close(holder);
    ASSERT_TRUE(e) << "connected to a port nobody listens on";
    EXPECT_EQ(e->m_dwError, 10061u);
    EXPECT_EQ(e->m_nKind, 3);
    EXPECT_EQ(e->GetErrorText(),
              u"Cannot establish a connection to a specified socket! [ERROR code = 10061, Message "
              u"= No connection could be made because the target machine actively refused it.]\n");

    e = Catch([&] { s.Connect(u"no-such-host.invalid", 25); });
    ASSERT_TRUE(e) << "connected to a name that cannot exist";
    EXPECT_EQ(
        e->m_strMessage,
        u"Cannot retrieve host information corresponding to a host name from a host database!");
    EXPECT_GE(e->m_dwError, 11001u);
    EXPECT_LE(e->m_dwError, 11004u);
    e = Catch([&] { s.Connect(u"", 25); });
    ASSERT_TRUE(e) << "empty host accepted";
    EXPECT_EQ(e->m_strMessage, u"Not allowed host adress!");
    s.Close();
}

namespace {

// Records the address the host-and-port Connect computes, without connecting.
class AddressRecorder : public TSMTPSSLSocket {
public:
    int Connect(const platform::SOCKADDR_IN4* lpSockAddr, int nSockAddrLen) override {
        m_addr = *lpSockAddr;
        m_nLen = nSockAddrLen;
        return 1;
    }
    using TSMTPSSLSocket::Connect;
    platform::SOCKADDR_IN4 m_addr{};
    int m_nLen = 0;
};

}  // namespace

TEST_F(TSMTPSSLSocketTest, DottedLiteralIsUsedAsTheAddress) {
    AddressRecorder s;
    s.Create();
    EXPECT_EQ(s.Connect(u"10.1.2.3", 587), 1);
    EXPECT_EQ(s.m_nLen, 16);
    EXPECT_EQ(s.m_addr.sin_family, platform::AF_INET_);
    EXPECT_EQ(s.m_addr.sin_port, htons(587));
    EXPECT_EQ(platform::AddressToText(s.m_addr.sin_addr), "10.1.2.3");
    s.Close();
    // A name goes through the resolver.
    AddressRecorder named;
    named.Create();
    EXPECT_EQ(named.Connect(u"localhost", 25), 1);
    EXPECT_EQ(platform::AddressToText(named.m_addr.sin_addr).rfind("127.", 0), 0u);
    named.Close();
}

// ----- TLS ---------------------------------------------------------------------------

// TLS 1.3: the server name is sent, and session tickets (after the handshake,
// right behind a reply, alone in a segment) and a key update the server asks
// to be answered never look like data or like the end of the stream.
TEST_F(TSMTPSSLSocketTest, Tls13PostHandshakeMessagesAreInvisible) {
    std::string version, sni;
    TlsTestServer server(
        [&](TlsServerConnection& c) {
            c.Handshake();  // two tickets go out with the end of the handshake
            version = c.Version();
            sni = c.ServerName();
            c.Write("reply0:" + c.Read(5));
            c.Read(5);
            c.Write("reply1", false);
            c.SendTicket(false);  // right behind the reply, in the same segment
            c.Flush();
            c.Read(5);
            c.SendTicket();  // alone in its segment, the reply follows
            c.Write("reply2");
            c.Read(5);
            c.KeyUpdate(true);  // the client must answer with its own
            c.Write("reply3");
            if (c.Read(5) != "cmd_4")
                throw std::runtime_error("data after the key update is wrong");
            c.Write("reply4");
            c.WaitCloseNotify();
        },
        {"", "", TlsTestVersion::Tls13});
    TSMTPSSLSocket s;
    Secure(s, server, false);
    SendText(s, "cmd_0");
    EXPECT_EQ(ReceiveAll(s, 12), "reply0:cmd_0");
    SendText(s, "cmd_1");
    EXPECT_EQ(ReceiveOnce(s), "reply1");
    for (const char* n : {"2", "3", "4"}) {
        SendText(s, std::string("cmd_") + n);
        EXPECT_EQ(ReceiveAll(s, 6), std::string("reply") + n);
    }
    s.Close();
    EXPECT_EQ(server.Finish(), "");
    EXPECT_EQ(version, "TLSv1.3");
    EXPECT_EQ(sni, "localhost");
}

// TLS 1.2 after STARTTLS in plain text: a reply that leaves with the server's
// last handshake message is kept; two records in one segment come out of one
// read; Close sends a close_notify.
TEST_F(TSMTPSSLSocketTest, Tls12AfterStartTls) {
    std::string version;
    bool bCloseNotify = false;
    TlsTestServer server(
        [&](TlsServerConnection& c) {
            c.WritePlain("220 ready\r\n");
            if (c.ReadPlainLine() != "STARTTLS\r\n")
                throw std::runtime_error("expected STARTTLS");
            c.WritePlain("220 go ahead\r\n");
            c.Handshake(false);
            version = c.Version();
            c.Write("220 after handshake\r\n", false);  // leaves with the server's Finished
            c.Flush();
            c.Read(1);
            c.Write("first|", false);
            c.Write("second", false);
            c.Flush();
            bCloseNotify = c.WaitCloseNotify();
        },
        {"", "", TlsTestVersion::Tls12});
    TSMTPSSLSocket s;
    Open(s, server.Port());
    EXPECT_EQ(ReceiveAll(s, 11), "220 ready\r\n");
    SendText(s, "STARTTLS\r\n");
    EXPECT_EQ(ReceiveAll(s, 14), "220 go ahead\r\n");
    EXPECT_EQ(s.StartClientHandshake(u"localhost"), 1);
    EXPECT_GT(s.m_cbIoBuffer, 0u) << "the greeting came with the handshake";
    EXPECT_TRUE(s.IsReadable(0));
    EXPECT_EQ(ReceiveAll(s, 21), "220 after handshake\r\n");
    SendText(s, "?");
    LogCapture log;
    EXPECT_EQ(ReceiveOnce(s), "first|second");
    EXPECT_EQ(CountRecords(log, u"Recive data;"), 1u) << log.Dump();
    EXPECT_EQ(CountRecords(log, u"Decrypt a message;"), 2u) << log.Dump();
    s.Close();
    EXPECT_EQ(s.m_bSecure, 0);
    EXPECT_EQ(s.m_hSocket, INVALID_SOCKET);
    EXPECT_EQ(server.Finish(), "");
    EXPECT_EQ(version, "TLSv1.2");
    EXPECT_TRUE(bCloseNotify) << "Close must send close_notify";
}

TEST_F(TSMTPSSLSocketTest, LargeSendGoesOutAsSeveralRecordsInOrder) {
    std::string payload(100000, '\0');
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>('A' + (i * 7 + i / 251) % 26);
    size_t serverReads = 0;
    TlsTestServer server([&](TlsServerConnection& c) {
        c.Handshake();
        std::string got;
        while (got.size() < payload.size()) {
            got += c.ReadSome();
            ++serverReads;
        }
        c.Write(got);  // back in records of the server's own making
        c.WaitCloseNotify();
    });
    TSMTPSSLSocket s;
    Secure(s, server, false);
    LogCapture log;
    EXPECT_EQ(s.Send(payload.data(), static_cast<unsigned>(payload.size())),
              static_cast<int>(payload.size()));
    EXPECT_EQ(CountRecords(log, u"Encrypt a message;"), 7u);  // 6 x 16384 + 1696
    EXPECT_EQ(ReceiveAll(s, payload.size()), payload);
    s.Close();
    EXPECT_EQ(server.Finish(), "");
    EXPECT_GE(serverReads, 7u);
}

TEST_F(TSMTPSSLSocketTest, SmallReceiveBufferKeepsTheRestPending) {
    std::string reply(1000, 'r');
    reply[0] = '<';
    reply[999] = '>';
    TlsTestServer server([&](TlsServerConnection& c) {
        c.Handshake();
        c.Read(1);
        c.Write(reply);
        c.Read(3);  // the client reads all before it says so
        c.WaitCloseNotify();
    });
    TSMTPSSLSocket s;
    Secure(s, server);
    EXPECT_EQ(ReceiveOnce(s, 100), reply.substr(0, 100));
    EXPECT_EQ(s.m_cbPending, 900u);
    EXPECT_TRUE(s.IsReadable(0)) << "decrypted bytes wait for the caller";

    LogCapture log;
    EXPECT_EQ(ReceiveOnce(s, 600), reply.substr(100, 600));
    EXPECT_EQ(ReceiveOnce(s, 64000), reply.substr(700));
    EXPECT_EQ(CountRecords(log, u"Recive data;"), 0u) << "pending bytes must not touch the socket";
    EXPECT_EQ(s.m_cbPending, 0u);
    EXPECT_EQ(s.m_pbPending, nullptr);
    SendText(s, "ok!");
    s.Close();
    EXPECT_EQ(server.Finish(), "");
}

TEST_F(TSMTPSSLSocketTest, ServerClosingBetweenRecordsEndsTheStream) {
    TlsTestServer server([](TlsServerConnection& c) {
        c.Handshake();
        c.Read(1);
        c.Write("last words");
        c.CloseSocket();
    });
    TSMTPSSLSocket s;
    Secure(s, server);
    EXPECT_EQ(ReceiveAll(s, 10), "last words");
    EXPECT_EQ(ReceiveOnce(s), "");
    EXPECT_EQ(server.Finish(), "");
    Catch([&] { s.Close(); });  // the close_notify may find the connection gone
}

TEST_F(TSMTPSSLSocketTest, ServerClosingInsideARecordIsAnError) {
    TlsTestServer server([](TlsServerConnection& c) {
        c.Handshake();
        c.Read(1);
        c.Write(std::string(500, 'x'), false);
        c.FlushPartial(100);
        c.CloseSocket();
    });
    TSMTPSSLSocket s;
    Secure(s, server);
    auto e = Catch([&] { ReceiveAll(s, 500); });
    ASSERT_TRUE(e) << "a cut record went unnoticed";
    EXPECT_EQ(e->m_strMessage, u"**** Server unexpectedly disconnected\n.");
    EXPECT_EQ(e->m_nKind, 3);
    EXPECT_EQ(server.Finish(), "");
}

TEST_F(TSMTPSSLSocketTest, CloseNotifyEndsTheReadWithTheDataSoFar) {
    for (const std::string data : {"bye", ""}) {
        SCOPED_TRACE(data);
        CapturingLogProvider host;
        SetHostLogProvider(&host);
        TlsTestServer server([&](TlsServerConnection& c) {
            c.Handshake();
            c.Read(1);
            if (!data.empty())
                c.Write(data, false);
            c.CloseNotify();
            c.WaitCloseNotify();
        });
        TSMTPSSLSocket s;
        Secure(s, server);
        EXPECT_EQ(ReceiveOnce(s), data);
        if (!data.empty()) {
            EXPECT_TRUE(
                host.Contains(u"The message sender has finished using the connection and "
                              u"has initiated a shutdown. HRESULT = 90317\n.",
                              4));
        }
        SetHostLogProvider(nullptr);
        s.Close();
        EXPECT_EQ(server.Finish(), "");
    }
}

TEST_F(TSMTPSSLSocketTest, TextReplyToTheHandshakeFails) {
    // A server without TLS answering the ClientHello with an SMTP reply.
    TlsTestServer server([](TlsServerConnection& c) {
        c.ReadPlainSome();
        c.WritePlain("454 TLS not available due to temporary reason\r\n");
        c.WaitPlainEnd();
    });
    TSMTPSSLSocket s;
    Open(s, server.Port());
    auto e = Catch([&] { s.StartClientHandshake(u"localhost"); });
    ASSERT_TRUE(e) << "handshake with a text reply succeeded";
    EXPECT_EQ(e->m_strMessage, u"Error HRESULT = 80090326");  // SEC_E_ILLEGAL_MESSAGE
    EXPECT_EQ(s.m_bSecure, 0);
    s.Close();
    EXPECT_EQ(server.Finish(), "");
}

// ----- the server certificate ------------------------------------------------------

TEST_F(TSMTPSSLSocketTest, EachCertificateProblemHasItsCodeAndItsIgnoreBit) {
    const struct {
        const char* certificate;
        DWORD dwFlags;
        const char16_t* error;  // null: the handshake passes
        const char16_t* name = u"localhost";
    } cases[] = {
        {"server", 0, nullptr},
        {"wrongname", 0, u"PolicyStatus error code = 800b010f."},
        {"server", 0, u"PolicyStatus error code = 800b010f.", u"other.example.com"},
        {"wrongname", 0x1000, nullptr},
        {"selfsigned", 0, u"PolicyStatus error code = 800b0109."},
        {"selfsigned", 0x100, nullptr},
        {"expired", 0, u"PolicyStatus error code = 800b0101."},
        {"expired", 0x2000, nullptr},
        {"clientonly", 0, u"PolicyStatus error code = 800b0110."},
        {"clientonly", 0x200, nullptr},
        // Self-signed and for another name: with 0x4000 nothing is examined.
        {"selfsigned", 0x4000, nullptr, u"mail.example.com"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.certificate) + " " + std::to_string(c.dwFlags));
        auto e = HandshakeWithCertificate(c.certificate, c.dwFlags, c.name);
        if (c.error == nullptr) {
            EXPECT_FALSE(e) << ToUtf8(e->m_strMessage);
            continue;
        }
        ASSERT_TRUE(e);
        EXPECT_EQ(e->m_strMessage, c.error);
        EXPECT_EQ(e->m_nKind, 3);
    }
    // The failure carries the certificate error and its text.
    auto e = HandshakeWithCertificate("wrongname", 0);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->m_dwError, 0x800B010Fu);
    EXPECT_EQ(e->m_strText,
              u"PolicyStatus error code = 800b010f. [ERROR code = 2148204815, Message = The "
              u"certificate's CN name does not match the passed value.]\n");
}

TEST_F(TSMTPSSLSocketTest, ClientCertificateNameMustBeInTheStore) {
    setenv("SMTPMAIL_CERT_STORE_ROOT", testcerts::Path("socket-stores").c_str(), 1);
    TlsTestServer server([](TlsServerConnection& c) { c.WaitPlainEnd(); });
    TSMTPSSLSocket s;
    s.Create(u"SMTP Mail Test Client", 0, 0);
    s.Connect(u"127.0.0.1", server.Port());
    auto e = Catch([&] { s.StartClientHandshake(u"localhost"); });
    unsetenv("SMTPMAIL_CERT_STORE_ROOT");
    ASSERT_TRUE(e) << "a certificate that is not in the store was found";
    EXPECT_EQ(e->m_strMessage, u"Cannot open common system certificate store!");
    EXPECT_NE(s.m_hMyCertStore, nullptr) << "the store itself opened";
    EXPECT_EQ(s.m_pCertContext, nullptr);
    s.Close();
    EXPECT_EQ(server.Finish(), "");
}

namespace {

// A package that asks for a renegotiation once: the first decrypted record
// comes back with SEC_I_RENEGOTIATE, and the handshake that follows is one
// token out and one token in, checked byte for byte by the server.
struct Renegotiation {
    static inline platform::SecurityFunctionTableW real{};
    static inline int nDecrypts = 0;
    static inline int nTokens = 0;
    static inline std::string received;

    static platform::SECURITY_STATUS Decrypt(platform::PCtxtHandle ctx,
                                             platform::SecBufferDesc* msg, ULONG seq, ULONG* qop) {
        platform::SECURITY_STATUS s = real.DecryptMessage(ctx, msg, seq, qop);
        return s == SEC_E_OK && nDecrypts++ == 0 ? SEC_I_RENEGOTIATE : s;
    }

    static platform::SECURITY_STATUS Initialize(platform::PCredHandle, platform::PCtxtHandle,
                                                const char16_t*, ULONG, ULONG, ULONG,
                                                platform::SecBufferDesc* input, ULONG,
                                                platform::PCtxtHandle,
                                                platform::SecBufferDesc* output, ULONG*,
                                                platform::TimeStamp*) {
        platform::SecBuffer& in = input->pBuffers[0];
        received.assign(static_cast<char*>(in.pvBuffer), in.cbBuffer);
        platform::SecBuffer& out = output->pBuffers[0];
        if (nTokens++ == 0) {
            // The first pass reads nothing and sends the first token.
            static const char token[] = "RENEGOTIATION-TOKEN";
            out.pvBuffer = std::malloc(sizeof token - 1);
            std::memcpy(out.pvBuffer, token, sizeof token - 1);
            out.cbBuffer = sizeof token - 1;
            return SEC_I_CONTINUE_NEEDED;
        }
        return SEC_E_OK;
    }
};

}  // namespace

TEST_F(TSMTPSSLSocketTest, RenegotiationTokensTravelRaw) {
    std::string token;
    TlsTestServer server(
        [&](TlsServerConnection& c) {
            c.Handshake();
            c.Read(1);
            c.Write("data");
            token = c.ReadPlainSome();  // raw bytes, not a TLS record
            c.WritePlain("SERVER-TOKEN");
            if (c.Read(5) != "after")
                throw std::runtime_error("the channel did not come back");
            c.WaitCloseNotify();
        },
        {"", "", TlsTestVersion::Tls12});
    TSMTPSSLSocket s;
    Secure(s, server, false);
    Renegotiation::real = s.m_SecurityFunc;
    s.m_SecurityFunc.DecryptMessage = &Renegotiation::Decrypt;
    s.m_SecurityFunc.InitializeSecurityContextW = &Renegotiation::Initialize;
    SendText(s, "?");
    EXPECT_EQ(ReceiveOnce(s), "data");
    EXPECT_EQ(Renegotiation::nTokens, 2);
    EXPECT_EQ(Renegotiation::received, "SERVER-TOKEN");
    EXPECT_EQ(s.m_bSecure, 1) << "the channel is secure again after the renegotiation";
    s.m_SecurityFunc = Renegotiation::real;
    SendText(s, "after");
    s.Close();
    EXPECT_EQ(server.Finish(), "");
    EXPECT_EQ(token, "RENEGOTIATION-TOKEN");
}
