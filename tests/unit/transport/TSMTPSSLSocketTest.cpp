// TSMTPSSLSocket against real peers on loopback: plain TCP, and TLS 1.2 and
// 1.3 servers with scripted record layouts and certificates made at run time.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>

#include <string>
#include <vector>

#include "CapturingLogProvider.h"
#include "LogCapture.h"
#include "TestCertificates.h"
#include "TlsTestServer.h"
#include "diag/HostLog.h"
#include "platform/LastError.h"
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
            if (r.message.rfind(prefix, 0) == 0)
                ++n;
        return n;
    }

    // The exception of StartClientHandshake against a server with the given
    // certificate ("" when the handshake passed).
    static std::u16string HandshakeWithCertificate(const std::string& name, DWORD dwCertFlags,
                                                   const char16_t* pszServerName = u"localhost") {
        TlsServerOptions options;
        options.certFile = testcerts::Path(name + ".pem");
        options.keyFile = testcerts::Path(name + ".key");
        TlsTestServer server(
            [](TlsServerConnection& c) {
                c.Handshake();
                c.WaitCloseNotify();
            },
            options);
        TSMTPSSLSocket s;
        Open(s, server.Port(), dwCertFlags);
        std::u16string result;
        try {
            EXPECT_EQ(s.StartClientHandshake(pszServerName), 1);
            EXPECT_EQ(s.m_bSecure, 1);
        } catch (const TSMTPException& e) {
            result = e.m_strMessage;
            EXPECT_EQ(e.m_nKind, 3);
        }
        s.Close();
        return result;
    }
};

}  // namespace

// ----- plain TCP -------------------------------------------------------------------

TEST_F(TSMTPSSLSocketTest, PlainModePassesBytesThroughUnchanged) {
    TlsTestServer server([](TlsServerConnection& c) {
        c.WritePlain("220 ready\r\n");
        std::string line = c.ReadPlainLine();
        c.WritePlain("250 got " + line);
    });
    TSMTPSSLSocket s;
    Open(s, server.Port());
    EXPECT_TRUE(s.IsReadable(10000));
    EXPECT_EQ(ReceiveAll(s, 11), "220 ready\r\n");
    SendText(s, "EHLO me\r\n");
    EXPECT_EQ(ReceiveAll(s, 17), "250 got EHLO me\r\n");
    EXPECT_EQ(ReceiveOnce(s), "");  // the server closed
    s.Close();
    EXPECT_EQ(s.m_hSocket, platform::INVALID_SOCKET);
    EXPECT_EQ(server.Finish(), "");
}

TEST_F(TSMTPSSLSocketTest, IsReadableTimesOutOnASilentServer) {
    TlsTestServer server([](TlsServerConnection& c) { c.ReadPlainLine(); });
    TSMTPSSLSocket s;
    Open(s, server.Port());
    EXPECT_FALSE(s.IsReadable(0));
    EXPECT_FALSE(s.IsReadable(30));
    SendText(s, "QUIT\r\n");
    s.Close();
    EXPECT_EQ(server.Finish(), "");
}

TEST_F(TSMTPSSLSocketTest, SocketStateFaultsAreKindSix) {
    TSMTPSSLSocket s;
    char buf[4];
    for (auto op : std::vector<std::function<void()>>{
             [&] { s.Connect(u"127.0.0.1", 25); }, [&] { s.Send("x", 1); },
             [&] { s.Receive(buf, 4); }, [&] { s.IsReadable(0); }, [&] { s.Close(); }}) {
        try {
            op();
            ADD_FAILURE() << "no exception without a socket";
        } catch (const TSMTPException& e) {
            EXPECT_EQ(e.m_strMessage, u"Socked not created!");
            EXPECT_EQ(e.m_nKind, 6);
        }
    }
    try {
        s.Receive(nullptr, 4);
        ADD_FAILURE() << "a null buffer must be refused";
    } catch (const TSMTPException& e) {
        EXPECT_EQ(e.m_strMessage, u"Bad input parameters.");
        EXPECT_EQ(e.m_nKind, 3);
    }
}

TEST_F(TSMTPSSLSocketTest, CreateTwiceIsRefused) {
    TSMTPSSLSocket s;
    s.Create(u"ignored", 0x800, 0x1000);
    EXPECT_EQ(s.m_strUserName, u"ignored");
    EXPECT_EQ(s.m_dwProtocol, 0x800u);
    EXPECT_EQ(s.m_dwCertFlags, 0x1000u);
    platform::SOCKET first = s.m_hSocket;
    try {
        s.Create(nullptr, 0, 0);
        ADD_FAILURE() << "second Create accepted";
    } catch (const TSMTPException& e) {
        EXPECT_EQ(e.m_strMessage, u"Socked alredy created!");
        EXPECT_EQ(e.m_nKind, 6);
    }
    EXPECT_EQ(s.m_hSocket, first);
    s.Close();
    s.Create();  // after Close a new socket is fine
    s.Close();
}

TEST_F(TSMTPSSLSocketTest, RefusedConnectionCarriesWinsockErrorAndText) {
    // A port that is bound but not listening refuses connections, and stays
    // ours while the test runs.
    int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &len), 0);

    TSMTPSSLSocket s;
    s.Create();
    try {
        s.Connect(u"127.0.0.1", ntohs(addr.sin_port));
        ADD_FAILURE() << "connected to a port nobody listens on";
    } catch (const TSMTPException& e) {
        EXPECT_EQ(e.m_dwError, 10061u);
        EXPECT_EQ(e.m_nKind, 3);
        EXPECT_EQ(e.GetErrorText(),
                  u"Cannot establish a connection to a specified socket! [ERROR code = 10061, "
                  u"Message = No "
                  u"connection could be made because the target machine actively refused it.]\n");
    }
    s.Close();
    ::close(holder);
}

TEST_F(TSMTPSSLSocketTest, NameThatDoesNotResolveFails) {
    TSMTPSSLSocket s;
    s.Create();
    try {
        s.Connect(u"no-such-host.invalid", 25);
        ADD_FAILURE() << "connected to a name that cannot exist";
    } catch (const TSMTPException& e) {
        EXPECT_EQ(
            e.m_strMessage,
            u"Cannot retrieve host information corresponding to a host name from a host database!");
        EXPECT_GE(e.m_dwError, 11001u);
        EXPECT_LE(e.m_dwError, 11004u);
    }
    try {
        s.Connect(u"", 25);
        ADD_FAILURE() << "empty host accepted";
    } catch (const TSMTPException& e) {
        EXPECT_EQ(e.m_strMessage, u"Not allowed host adress!");
    }
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

TEST_F(TSMTPSSLSocketTest, Tls13HandshakeSendsServerNameAndEchoes) {
    std::string version, sni;
    TlsTestServer server(
        [&](TlsServerConnection& c) {
            c.Handshake();
            version = c.Version();
            sni = c.ServerName();
            c.Write("echo:" + c.Read(5));
            c.WaitCloseNotify();
        },
        {"", "", TlsTestVersion::Tls13});
    TSMTPSSLSocket s;
    Open(s, server.Port());
    EXPECT_EQ(s.StartClientHandshake(u"localhost"), 1);
    SendText(s, "hello");
    // The server's session tickets arrive before the reply: they must not
    // look like a closed connection.
    EXPECT_EQ(ReceiveAll(s, 10), "echo:hello");
    s.Close();
    EXPECT_EQ(server.Finish(), "");
    EXPECT_EQ(version, "TLSv1.3");
    EXPECT_EQ(sni, "localhost");
}

TEST_F(TSMTPSSLSocketTest, Tls12HandshakeAfterStartTls) {
    std::string version;
    bool bCloseNotify = false;
    TlsTestServer server(
        [&](TlsServerConnection& c) {
            c.WritePlain("220 ready\r\n");
            if (c.ReadPlainLine() != "STARTTLS\r\n")
                throw std::runtime_error("expected STARTTLS");
            c.WritePlain("220 go ahead\r\n");
            c.Handshake();
            version = c.Version();
            c.Write("250 " + c.Read(6));
            bCloseNotify = c.WaitCloseNotify();
        },
        {"", "", TlsTestVersion::Tls12});
    TSMTPSSLSocket s;
    Open(s, server.Port());
    EXPECT_EQ(ReceiveAll(s, 11), "220 ready\r\n");
    SendText(s, "STARTTLS\r\n");
    EXPECT_EQ(ReceiveAll(s, 14), "220 go ahead\r\n");
    EXPECT_EQ(s.StartClientHandshake(u"localhost"), 1);
    SendText(s, "EHLO\r\n");
    EXPECT_EQ(ReceiveAll(s, 10), "250 EHLO\r\n");
    s.Close();
    EXPECT_EQ(s.m_bSecure, 0);
    EXPECT_EQ(s.m_hSocket, platform::INVALID_SOCKET);
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
    Open(s, server.Port());
    s.StartClientHandshake(u"localhost");
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
        c.Read(3);
        c.Write(reply);
        c.Read(3);  // the client reads all before it says so
        c.WaitCloseNotify();
    });
    TSMTPSSLSocket s;
    Open(s, server.Port());
    s.StartClientHandshake(u"localhost");
    SendText(s, "go!");
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

TEST_F(TSMTPSSLSocketTest, TwoRecordsInOneSegmentAreDecryptedInOneRead) {
    // TLS 1.2: nothing follows the handshake, so the two records are all
    // the client gets.
    TlsTestServer server(
        [](TlsServerConnection& c) {
            c.Handshake();
            c.Read(1);
            c.Write("first|", false);
            c.Write("second", false);
            c.Flush();
            c.WaitCloseNotify();
        },
        {"", "", TlsTestVersion::Tls12});
    TSMTPSSLSocket s;
    Open(s, server.Port());
    s.StartClientHandshake(u"localhost");
    SendText(s, "?");
    LogCapture log;
    EXPECT_EQ(ReceiveOnce(s), "first|second");
    EXPECT_EQ(CountRecords(log, u"Recive data;"), 1u) << log.Dump();
    EXPECT_EQ(CountRecords(log, u"Decrypt a message;"), 2u) << log.Dump();
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
    Open(s, server.Port());
    s.StartClientHandshake(u"localhost");
    SendText(s, "?");
    EXPECT_EQ(ReceiveAll(s, 10), "last words");
    EXPECT_EQ(ReceiveOnce(s), "");
    EXPECT_EQ(server.Finish(), "");
    try {
        s.Close();  // the close_notify may find the connection gone
    } catch (const TSMTPException&) {
    }
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
    Open(s, server.Port());
    s.StartClientHandshake(u"localhost");
    SendText(s, "?");
    try {
        ReceiveAll(s, 500);
        ADD_FAILURE() << "a cut record went unnoticed";
    } catch (const TSMTPException& e) {
        EXPECT_EQ(e.m_strMessage, u"**** Server unexpectedly disconnected\n.");
        EXPECT_EQ(e.m_nKind, 3);
    }
    EXPECT_EQ(server.Finish(), "");
}

TEST_F(TSMTPSSLSocketTest, CloseNotifyEndsTheReadWithTheDataSoFar) {
    CapturingLogProvider host;
    SetHostLogProvider(&host);
    TlsTestServer server([](TlsServerConnection& c) {
        c.Handshake();
        c.Read(1);
        c.Write("bye", false);
        c.CloseNotify(false);
        c.Flush();
        c.WaitCloseNotify();
    });
    TSMTPSSLSocket s;
    Open(s, server.Port());
    s.StartClientHandshake(u"localhost");
    SendText(s, "?");
    EXPECT_EQ(ReceiveOnce(s), "bye");
    EXPECT_TRUE(
        host.Contains(u"The message sender has finished using the connection and has initiated a "
                      u"shutdown. HRESULT = 90317\n.",
                      4));
    SetHostLogProvider(nullptr);
    s.Close();
    EXPECT_EQ(server.Finish(), "");
}

TEST_F(TSMTPSSLSocketTest, CloseNotifyAloneReadsAsZero) {
    TlsTestServer server([](TlsServerConnection& c) {
        c.Handshake();
        c.Read(1);
        c.CloseNotify();
        c.WaitCloseNotify();
    });
    TSMTPSSLSocket s;
    Open(s, server.Port());
    s.StartClientHandshake(u"localhost");
    SendText(s, "?");
    EXPECT_EQ(ReceiveOnce(s), "");
    s.Close();
    EXPECT_EQ(server.Finish(), "");
}

TEST_F(TSMTPSSLSocketTest, Tls13TicketsAndKeyUpdatesBetweenRepliesAreInvisible) {
    TlsTestServer server(
        [](TlsServerConnection& c) {
            c.Handshake();  // two tickets go out with the end of the handshake
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
    Open(s, server.Port());
    s.StartClientHandshake(u"localhost");
    SendText(s, "cmd_1");
    EXPECT_EQ(ReceiveOnce(s), "reply1");
    SendText(s, "cmd_2");
    EXPECT_EQ(ReceiveAll(s, 6), "reply2");
    SendText(s, "cmd_3");
    EXPECT_EQ(ReceiveAll(s, 6), "reply3");
    SendText(s, "cmd_4");
    EXPECT_EQ(ReceiveAll(s, 6), "reply4");
    s.Close();
    EXPECT_EQ(server.Finish(), "");
}

TEST_F(TSMTPSSLSocketTest, DataBehindTheLastHandshakeMessageIsKept) {
    TlsTestServer server(
        [](TlsServerConnection& c) {
            c.Handshake(false);
            c.Write("220 after handshake\r\n", false);  // leaves with the server's Finished
            c.Flush();
            c.WaitCloseNotify();
        },
        {"", "", TlsTestVersion::Tls12});
    TSMTPSSLSocket s;
    Open(s, server.Port());
    s.StartClientHandshake(u"localhost");
    EXPECT_GT(s.m_cbIoBuffer, 0u) << "the greeting came with the handshake";
    EXPECT_TRUE(s.IsReadable(0));
    EXPECT_EQ(ReceiveAll(s, 21), "220 after handshake\r\n");
    s.Close();
    EXPECT_EQ(server.Finish(), "");
}

// ----- the server certificate ------------------------------------------------------

TEST_F(TSMTPSSLSocketTest, GoodCertificatePassesByNameAndByAddress) {
    EXPECT_EQ(HandshakeWithCertificate("server", 0), u"");
    EXPECT_EQ(HandshakeWithCertificate("server", 0, u"127.0.0.1"), u"");
    EXPECT_EQ(HandshakeWithCertificate("server", 0, u"LOCALHOST"), u"");
}

TEST_F(TSMTPSSLSocketTest, WrongNameFailsUnlessWaived) {
    EXPECT_EQ(HandshakeWithCertificate("wrongname", 0), u"PolicyStatus error code = 800b010f.");
    EXPECT_EQ(HandshakeWithCertificate("server", 0, u"other.example.com"),
              u"PolicyStatus error code = 800b010f.");
    EXPECT_EQ(HandshakeWithCertificate("wrongname", 0x1000), u"");
    EXPECT_EQ(HandshakeWithCertificate("wrongname", 0x2000 | 0x100),
              u"PolicyStatus error code = 800b010f.");
}

TEST_F(TSMTPSSLSocketTest, EachProblemHasItsCodeAndItsIgnoreBit) {
    EXPECT_EQ(HandshakeWithCertificate("selfsigned", 0), u"PolicyStatus error code = 800b0109.");
    EXPECT_EQ(HandshakeWithCertificate("selfsigned", 0x100), u"");
    EXPECT_EQ(HandshakeWithCertificate("expired", 0), u"PolicyStatus error code = 800b0101.");
    EXPECT_EQ(HandshakeWithCertificate("expired", 0x2000), u"");
    EXPECT_EQ(HandshakeWithCertificate("clientonly", 0), u"PolicyStatus error code = 800b0110.");
    EXPECT_EQ(HandshakeWithCertificate("clientonly", 0x200), u"");
    // One waived problem does not hide another.
    EXPECT_EQ(HandshakeWithCertificate("selfsigned", 0x2000),
              u"PolicyStatus error code = 800b0109.");
}

TEST_F(TSMTPSSLSocketTest, PolicyFailureCarriesTheCertificateErrorText) {
    TlsServerOptions options{testcerts::Path("wrongname.pem"), testcerts::Path("wrongname.key"),
                             TlsTestVersion::Any};
    TlsTestServer server(
        [](TlsServerConnection& c) {
            c.Handshake();
            c.WaitCloseNotify();
        },
        options);
    TSMTPSSLSocket s;
    Open(s, server.Port());
    try {
        s.StartClientHandshake(u"localhost");
        ADD_FAILURE() << "wrong name accepted";
    } catch (const TSMTPException& e) {
        EXPECT_EQ(e.m_dwError, 0x800B010Fu);
        EXPECT_EQ(e.m_strText,
                  u"PolicyStatus error code = 800b010f. [ERROR code = 2148204815, Message = The "
                  u"certificate's CN "
                  u"name does not match the passed value.]\n");
    }
    EXPECT_EQ(s.m_bSecure, 0);
    s.Close();
}

TEST_F(TSMTPSSLSocketTest, FlagNoCheckSkipsTheCertificate) {
    // Self-signed and for another name: nothing is examined.
    EXPECT_EQ(HandshakeWithCertificate("selfsigned", 0x4000, u"mail.example.com"), u"");
    EXPECT_EQ(HandshakeWithCertificate("expired", 0x4000), u"");
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
    try {
        s.StartClientHandshake(u"localhost");
        ADD_FAILURE() << "handshake with a text reply succeeded";
    } catch (const TSMTPException& e) {
        EXPECT_EQ(e.m_strMessage, u"Error HRESULT = 80090326");  // SEC_E_ILLEGAL_MESSAGE
    }
    EXPECT_EQ(s.m_bSecure, 0);
    s.Close();
    EXPECT_EQ(server.Finish(), "");
}
