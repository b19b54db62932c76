// Every way Mail_Send fails, through the exports: the code, the description
// and the native code of the last error, the host log, and what reached the
// server.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "CaptureServer.h"
#include "ChildProcess.h"
#include "GssMechanismLeaks.h"
#include "ScratchDir.h"
#include "ScriptedSmtpServer.h"
#include "SendFixture.h"
#include "TestCertificates.h"
#include "Watchdog.h"

namespace {

using ::testing::Contains;
using ::testing::IsEmpty;
using ::testing::Not;

int Entered(const LogCapture& capture, const std::u16string& function) {
    int n = 0;
    for (const auto& r : capture.Records())
        n += r.function == function && r.action == u"enter" ? 1 : 0;
    return n;
}

// A host whose log interface throws at one message: an exception that is not
// the session's own, which Send must still contain.
class ThrowingLogProvider : public CapturingLogProvider {
public:
    long MAILCALL WriteMessage(void* session, int type, int level,
                               const MAILWCHAR* message) override {
        CapturingLogProvider::WriteMessage(session, type, level, message);
        if (std::u16string(message) == u"Email Address must be valid.")
            throw std::runtime_error("host log failed");
        return 0;
    }
};

using SendFailureTest = SendFixture;

// What cannot be sent is refused before any connection: no sender, no host,
// an address that could end its brackets and add parameters of its own or
// that no path can carry, a port that would wrap.
TEST_F(SendFailureTest, RefusedBeforeAnyTraffic) {
    const std::u16string kAddress = u"CSMTPMailAPI::Send() - The address cannot be sent because ";
    const std::u16string kBrackets = u"it contains '<', '>', a blank or a control character: ";
    const std::u16string kLong(300, u'a');
    const std::u16string kNoSender = u"CSMTPMailAPI::Send() Error - no Sender specified.";
    const std::u16string kPort = u"CSMTPMailAPI::Send() - The port ";
    const std::u16string kNoPort = u" is not a TCP port (1 to 65535).";
    const std::u16string kMe = u"me@example.org", kTo = u"to@example.org";
    const struct {
        const char* port;  // of vx.ini; "-": no sender address there; null: no vx.ini at all
        const char16_t* senderName;
        std::u16string sender, to, description;  // to "": no message record at all
        int nSessions = -1;  // session objects made before the refusal; -1: not looked at
    } rows[] = {
        {"-", nullptr, u"", u"", kNoSender, 0},
        {"-", u"Only A Name", u"", kTo, kNoSender, 0},
        {nullptr, nullptr, kMe, kTo, u"CSMTPMailAPI::Send() - HostName may not be NULL.", 1},
        {"25", nullptr, kMe, u"a@b> NOTIFY=NEVER ORCPT=rfc822;x",
         kAddress + kBrackets + u"a@b> NOTIFY=NEVER ORCPT=rfc822;x"},
        {"25", u"Me", u"me@example.org\r\nRCPT TO:<evil@example.org>", u"t@x.org",
         kAddress + kBrackets + u"me@example.org RCPT TO:<evil@example.org>"},
        {"25", nullptr, kMe, u"<to@example.org>", kAddress + kBrackets + u"<to@example.org>"},
        {"25", nullptr, kMe, u"to\t@example.org", kAddress + kBrackets + u"to\t@example.org"},
        {"25", u"Me", kLong + u"@example.org", kTo,
         kAddress + u"it is longer than 254 characters: " + kLong.substr(0, 64) + u"..."},
        {"70000", nullptr, kMe, kTo, kPort + u"70000" + kNoPort},
        {"0", nullptr, kMe, kTo, kPort + u"0" + kNoPort},
        {"-25", nullptr, kMe, kTo, kPort + u"-25" + kNoPort},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(ToUtf8(row.description));
        Keys ini = ServerIni(25);
        if (row.port == nullptr)
            std::filesystem::remove(Path("vx.ini"));
        else if (row.port == std::string("-"))
            ini.erase("smtpSenderAddr");
        else
            ini["smtpPort"] = row.port;
        if (row.port != nullptr)
            WriteIni(ini);
        Close();
        HostMessage m;
        m.Body(u"b")
            .Originator(row.senderName, row.sender.empty() ? nullptr : row.sender.c_str())
            .To(nullptr, row.to.c_str());
        LogCapture capture;
        EXPECT_EQ(Send(row.to.empty() ? nullptr : m.Record()), MAILERR_INVALID_PARAMS);
        ExpectLastError(MAILERR_INVALID_PARAMS, row.description.substr(0, 255), 0);
        EXPECT_EQ(Entered(capture, u"TSMTPConnection::Connect"), 0);
        if (row.nSessions >= 0) {
            EXPECT_EQ(Entered(capture, u"TSMTPConnection::TSMTPConnection"), row.nSessions);
            // The refusal without a session has no exit trace.
            EXPECT_EQ(capture.Contains(u"CSMTPMailAPI::Send() <== return MAILERR_INVALID_PARAMS"),
                      row.nSessions > 0)
                << capture.Dump();
        }
    }
}

// A refused connection, and a greeting that refuses: 509 with the session's
// text, which the host's log gets too, at the exception's level (3).
TEST_F(SendFailureTest, RefusedConnectionOrGreetingIs509) {
    WriteIni(ServerIni(UnusedLoopbackPort()));
    EXPECT_EQ(Send(SimpleText().Record()), MAILERR_ACCESS_DENIED);
    ExpectLastError(MAILERR_ACCESS_DENIED, kConnecting, 10061, false);
    EXPECT_TRUE(
        m_log.Contains(kConnecting + u"Cannot establish a connection to a specified socket!", 3));
    ScriptedSmtpServer server;
    server.Send("554 not today\r\n").Exchange("QUIT", "221 bye\r\n");
    WriteIni(ServerIni(server.Start()));
    Close();
    EXPECT_EQ(Send(SimpleText().Record()), MAILERR_ACCESS_DENIED);
    ASSERT_TRUE(server.Finish());
    // The session's text, with whatever system error the thread held then.
    EXPECT_TRUE(Description().starts_with(
        kConnecting + u"Cannot establish a connection between the client and the server."))
        << ToUtf8(Description());
    EXPECT_TRUE(m_log.Contains(Description(), 3));
}

// Files the provider cannot read fail the same way, a body after the
// greeting, an attachment after the server said 354, and nothing is delivered. What is
// not a regular file (a FIFO, a device) is refused at once, never waited for.
TEST_F(SendFailureTest, FilesThatCannotBeReadDeliverNothing) {
    Watchdog watchdog(std::chrono::seconds(60), "Mail_Send reading a FIFO or a device");
    ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
    const std::u16string kBody = kSending + u"Getting body content failed!";
    const struct {
        bool bBody;
        std::string path;
        MAILRESULT code;
        std::u16string description;
        uint32_t native;
    } rows[] = {
        {true, Path("no-such-body.txt"), MAILERR_SEND, kBody, 2},
        {true, Path("fifo"), MAILERR_SEND, kBody, 5},
        {true, m_dir + "/" + std::string(5000, 'b'), MAILERR_SEND, kBody, 206},
        {false, m_dir + "/" + std::string(5000, 'b'), MAILERR_SEND, kBody, 206},
        {false, Path("gone.pdf"), MAILERR_SEND, kBody, 2},
        {false, Path("fifo"), MAILERR_SEND, kBody, 5},
        {false, "/dev/zero", MAILERR_SEND, kBody, 5},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        ScriptedSmtpServer server;
        Helo(server);
        if (row.bBody) {
            server.Exchange("QUIT", "221 bye\r\n");
        } else {
            server.Exchange("MAIL FROM:", "250 ok\r\n")
                .Exchange("RCPT TO:", "250 ok\r\n")
                .Exchange("DATA", "354 go\r\n")
                .StaySilent();
        }
        WriteIni(ServerIni(server.Start()));
        HostMessage message = SimpleText();
        if (row.bBody)
            message.BodyFile(row.path);
        else
            message.Attach(row.path);
        EXPECT_EQ(Send(message.Record()), row.code);
        ExpectLastError(row.code, row.description, row.native, false);
        ASSERT_TRUE(server.Finish());
        EXPECT_THAT(server.Errors(), IsEmpty());
        if (row.bBody) {
            ASSERT_EQ(server.Commands().size(), 2u) << server.Received();
            EXPECT_EQ(server.Commands()[1], "QUIT") << "greeted, and nothing sent";
        }
        EXPECT_EQ(server.Received().find("\r\n.\r\n"), std::string::npos) << "nothing delivered";
        Close();
    }
}

TEST_F(SendFailureTest, StartTlsWithAnUntrustedCertificateIs509AndATrustedOneDelivers) {
    CaptureServer server({"--cert", testcerts::Path("server.pem"), "--key",
                          testcerts::Path("server.key"), "--user", "sam", "--password", "pw 1"});
    ASSERT_NE(server.Port(), 0) << server.Transcript();
    Configure("--host 127.0.0.1 --port " + std::to_string(server.Port()) +
              " --starttls on --auth login --user sam --password 'pw 1'"
              " --sender-address tls@example.org");
    {
        // Another root alone: no chain leads from the server's certificate to it.
        TrustStore trust(testcerts::Path("selfsigned.pem"));
        EXPECT_EQ(Send(SimpleText().Record()), MAILERR_ACCESS_DENIED);
        ExpectLastError(MAILERR_ACCESS_DENIED, kConnecting, 0x800B010A, false);
    }
    TrustStore trust(testcerts::Path("ca.pem"));
    EXPECT_EQ(Send(SimpleText().Record()), MAILERR_OK) << ToUtf8(Description());
    const std::string eml = server.Message(1);
    EXPECT_TRUE(Matches(eml, R"({"mail_from": "tls@example.org"})"));
    const std::string record = ReadBytes(eml.substr(0, eml.size() - 3) + "json");
    EXPECT_NE(record.find("\"tls\": true"), std::string::npos) << record;
    EXPECT_NE(record.find("\"auth_user\": \"sam\""), std::string::npos) << record;
}

// Port 465 is submission over TLS from the first byte: the handshake, with
// the same certificate check as after STARTTLS, comes before the greeting, and
// no STARTTLS follows. The server must listen on 465 itself.
TEST_F(SendFailureTest, ImplicitTlsOnPort465ChecksTheCertificateAndSendsNoStartTls) {
    for (const auto& [cert, code, native] :
         {std::tuple{"server", MAILERR_OK, 0u},
          std::tuple{"wrongname", MAILERR_ACCESS_DENIED, 0x800B010Fu}}) {
        SCOPED_TRACE(cert);
        ScriptedSmtpServer server;
        server.UseCertificate(testcerts::Path(std::string(cert) + ".pem"),
                              testcerts::Path(std::string(cert) + ".key"));
        server.StartTls()
            .Send("220 ready\r\n")
            .Exchange("EHLO", "250-mail.test\r\n250-STARTTLS\r\n250 AUTH PLAIN\r\n")
            .Exchange("AUTH PLAIN", "334 \r\n")
            .Exchange("AHNhbQBwdw==", "235 ok\r\n")
            .Exchange("MAIL FROM:<tls@example.org>", "250 ok\r\n")
            .Exchange("RCPT TO:", "250 ok\r\n")
            .Exchange("DATA", "354 go\r\n")
            .ExpectData()
            .Send("250 queued\r\n")
            .Exchange("QUIT", "221 bye\r\n");
        if (server.Start(465) != 465 && ::getuid() != 0 && std::getenv("CI") == nullptr)
            GTEST_SKIP() << "port 465 needs root here";
        // STARTTLS on: it must not be asked for over a channel that is TLS already.
        Configure(
            "--host localhost --port 465 --starttls on --auth plain --user sam"
            " --password pw --sender-address tls@example.org");
        TrustStore trust(testcerts::Path("ca.pem"));
        EXPECT_EQ(Send(SimpleText().Record()), code) << ToUtf8(Description());
        ExpectLastError(code, code == MAILERR_OK ? u"" : kConnecting, native, false);
        ASSERT_TRUE(server.Finish());
        if (code == MAILERR_OK) {
            EXPECT_THAT(server.Errors(), IsEmpty());
            EXPECT_EQ(server.Data().size(), 1u);
        }
        EXPECT_THAT(server.Commands(), Not(Contains("STARTTLS")));
        Close();
    }
}

TEST_F(SendFailureTest, AnyOtherExceptionIs100) {
    ThrowingLogProvider thrower;
    m_flags.logProvider = &thrower;
    WriteIni(ServerIni(UnusedLoopbackPort()));
    HostMessage message = SimpleText();
    message.To(u"No Address", nullptr);  // warns through the host log, which throws
    LogCapture capture;
    EXPECT_EQ(Send(message.Record()), MAILERR_INIT);
    ExpectLastError(MAILERR_INIT, u"CSMTPMailAPI::Send() - unspecified exception.", 0);
    EXPECT_TRUE(capture.Contains(u"CSMTPMailAPI::Send unspecified exception."));
    EXPECT_TRUE(capture.Contains(u"CSMTPMailAPI::Send() <== return MAILERR_INIT"));
    EXPECT_EQ(Entered(capture, u"TSMTPConnection::Connect"), 0);
}

// AUTH NTLM against a server that accepts it with gss-ntlmssp: the client
// logs on as the user of its own user file (the password settings play no
// part), read anew for each send, with its token in the AUTH line; every
// failure is 509 with the session's text, and a client that gives up at a bad
// challenge says goodbye.
TEST_F(SendFailureTest, NtlmLogsOnAsTheUserOfTheUserFile) {
    const std::string clientUsers = Path("client-users");
    ScopedEnv client({{"NTLM_USER_FILE", clientUsers.c_str()}});
    const char* const kAlice = "TESTDOM:alice:Secret123\n";
    const struct {
        const char* mode;
        const char* client;     // the client's user file; null: none
        const char16_t* error;  // in the description; null: delivered
        std::vector<const char*> serverLines;
    } rows[] = {
        {"gss",
         "TESTDOM:bob:Other456\n",
         nullptr,
         {"AUTH NTLM with initial response", "AUTH NTLM accepted TESTDOM\\bob", "message 1"}},
        {"gss", kAlice, nullptr, {"AUTH NTLM accepted TESTDOM\\alice"}},
        {"gss",
         "TESTDOM:alice:NotSecret\n",
         u"TSMTPConnection::AuthenticateNTLM; Authentication unsuccesful!",
         {"AUTH NTLM refused"}},
        {"malformed", kAlice, u"Base64", {"challenge malformed", "QUIT during AUTH"}},
        {"overlong", kAlice, u"15000", {"challenge overlong 16000 bytes", "QUIT during AUTH"}},
        {"gss", nullptr, u"No credentials are available in the security package.", {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.mode) + " " + (row.client ? row.client : "no user file"));
        if (row.client != nullptr)
            WriteFile("client-users", row.client);
        else
            std::filesystem::remove(clientUsers);
        ChildProcess server(
            {SMTPMAIL_TEST_PYTHON, SMTPMAIL_TEST_SOURCE_DIR "/support/ntlm_smtpd.py", "--users",
             WriteFile("server-users", std::string(kAlice) + "TESTDOM:bob:Other456\n"),
             "--challenge", row.mode});
        std::string line;
        ASSERT_TRUE(server.WaitForLine("listening on 127.0.0.1 port ", line))
            << server.Transcript();
        Keys keys = ServerIni(std::stoi(line.substr(line.rfind(' ') + 1)));
        keys["smtpAuth"] = "4";
        WriteIni(keys);
        Close();
        const MAILRESULT rc = Send(SimpleText().Record());
        if (row.error == nullptr) {
            EXPECT_EQ(rc, MAILERR_OK) << ToUtf8(Description());
        } else {
            EXPECT_EQ(rc, MAILERR_ACCESS_DENIED);
            EXPECT_NE(Description().find(row.error), std::u16string::npos) << ToUtf8(Description());
            ExpectLastError(MAILERR_ACCESS_DENIED, kConnecting,
                            Library().GetLastError(m_h)->dwNativeCode, false);
        }
        ASSERT_TRUE(server.WaitForLine("connection closed", line)) << server.Transcript();
        const std::string lines = server.Transcript();
        for (const char* expected : row.serverLines)
            EXPECT_NE(lines.find(expected), std::string::npos) << expected << "\n" << lines;
        EXPECT_EQ(lines.find("without initial response"), std::string::npos) << lines;
        if (row.serverLines.empty()) {
            EXPECT_EQ(lines.find("AUTH NTLM"), std::string::npos) << "nothing sent\n" << lines;
        }
    }
}

}  // namespace
