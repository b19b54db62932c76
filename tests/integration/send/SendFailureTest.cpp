// Every way Mail_Send fails, through the exports: the code, the description
// and the native code of the last error, the report of Mail_Execute 1001, the
// host log, and what reached the server.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "ChildProcess.h"
#include "GssMechanismLeaks.h"
#include "LogCapture.h"
#include "NtlmPeer.h"
#include "ScriptedSmtpServer.h"
#include "SendFixture.h"
#include "SmtpTestServerProcess.h"
#include "TestCertificates.h"
#include "Watchdog.h"

namespace {

using Keys = std::map<std::string, std::string>;

int FunctionRecords(const LogCapture& capture, const std::u16string& function) {
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
        if (!m_bThrown && std::u16string(message) == u"Email Address must be valid.") {
            m_bThrown = true;
            throw std::runtime_error("host log failed");
        }
        return 0;
    }

private:
    bool m_bThrown = false;
};

const std::u16string kConnecting =
    u"CSMTPMailAPI::Send() - An error occured connecting to server. ";
const std::u16string kSending = u"CSMTPMailAPI::Send() - An error occured sending the message. ";

using SendFailureTest = SendFixture;

TEST_F(SendFailureTest, NoSenderIsRefusedBeforeAnythingElse) {
    Keys keys = ServerIni(UnusedLoopbackPort());
    keys.erase("smtpSenderAddr");
    WriteIni(keys);
    Open();
    LogCapture capture;
    // No message at all, or an originator with a name but no address: no sender.
    HostMessage message = SimpleText();
    message.Originator(u"Only A Name", nullptr);
    for (const MAILMESSAGE* record : {static_cast<const MAILMESSAGE*>(nullptr), message.Record()}) {
        EXPECT_EQ(Send(record), MAILERR_INVALID_PARAMS);
        ExpectLastError(MAILERR_INVALID_PARAMS,
                        u"CSMTPMailAPI::Send() Error - no Sender specified.", 0);
    }
    EXPECT_EQ(FunctionRecords(capture, u"TSMTPConnection::TSMTPConnection"), 0);
    EXPECT_TRUE(capture.Contains(u"CSMTPMailAPI::Send() Error - no Sender specified."));
    EXPECT_FALSE(capture.Contains(u"CSMTPMailAPI::Send() <== return")) << "no exit trace";
}

TEST_F(SendFailureTest, EmptyHostIsRefusedWithoutTraffic) {
    // No store and no INI file: the handle has no server.
    Open();
    LogCapture capture;
    HostMessage message = SimpleText();
    message.Originator(nullptr, u"me@example.org");
    EXPECT_EQ(Send(message.Record()), MAILERR_INVALID_PARAMS);
    ExpectLastError(MAILERR_INVALID_PARAMS, u"CSMTPMailAPI::Send() - HostName may not be NULL.", 0);
    EXPECT_EQ(FunctionRecords(capture, u"TSMTPConnection::TSMTPConnection"), 1);
    EXPECT_EQ(FunctionRecords(capture, u"TSMTPConnection::Connect"), 0);
    EXPECT_TRUE(capture.Contains(u"CSMTPMailAPI::Send() <== return MAILERR_INVALID_PARAMS"))
        << capture.Dump();
}

TEST_F(SendFailureTest, MissingBodyFileIs1000AndTheServerIsStillGreeted) {
    ScriptedSmtpServer server;
    server.Send("220 scripted ready\r\n")
        .Exchange("HELO", "250 hello\r\n")
        .Exchange("QUIT", "221 bye\r\n");
    WriteIni(ServerIni(server.Start()));
    HostMessage message = SimpleText();
    message.BodyFile(Path("no-such-body.txt"));
    EXPECT_EQ(Send(message.Record()), MAILERR_INTERNAL);
    ASSERT_TRUE(server.Finish());
    EXPECT_TRUE(server.Errors().empty()) << server.Errors().front();
    ASSERT_EQ(server.Commands().size(), 2u) << server.Received();
    EXPECT_EQ(server.Commands()[1], "QUIT") << "connected, greeted, and nothing sent";
    ExpectLastError(MAILERR_INTERNAL, u"The system cannot find the file specified", 2);
}

TEST_F(SendFailureTest, EmptyBodyFileIsOnlyAWarning) {
    SmtpTestServerProcess server({});
    ASSERT_NE(server.Port(), 0) << server.StartError();
    WriteIni(ServerIni(server.Port()));
    HostMessage message = SimpleText();
    message.BodyFile(WriteFile("empty.txt", ""));
    LogCapture capture;
    EXPECT_EQ(Send(message.Record()), MAILERR_OK);
    EXPECT_EQ(server.Count(), 1);
    EXPECT_TRUE(capture.Contains(u"Warning! no body returned for file '" +
                                 FromUtf8(Path("empty.txt")) + u"'"))
        << capture.Dump();
}

TEST_F(SendFailureTest, RefusedConnectionIs509WithTheSocketError) {
    WriteIni(ServerIni(UnusedLoopbackPort()));
    EXPECT_EQ(Send(SimpleText().Record()), MAILERR_ACCESS_DENIED);
    ExpectLastError(MAILERR_ACCESS_DENIED, kConnecting, 10061, false);
    // The host's log gets the same text at the exception's level (3, an error).
    bool logged = false;
    for (const auto& e : m_log.Entries())
        logged |= !e.bWriteLog && e.level == 3 && e.message.starts_with(kConnecting);
    EXPECT_TRUE(logged);
}

TEST_F(SendFailureTest, RefusedRecipientOrMissingAttachmentIs200AndNothingIsDelivered) {
    SmtpTestServerProcess::Options options;
    options.refuse = {"refused@example.org"};
    SmtpTestServerProcess server(options);
    ASSERT_NE(server.Port(), 0) << server.StartError();
    WriteIni(ServerIni(server.Port()));
    HostMessage refused = SimpleText();
    refused.Cc(nullptr, u"refused@example.org");
    EXPECT_EQ(Send(refused.Record()), MAILERR_SEND);
    EXPECT_NE(Description().find(u"550 5.1.1 <refused@example.org>: Recipient address rejected"),
              std::u16string::npos)
        << ToUtf8(Description());
    ExpectLastError(MAILERR_SEND, kSending, Library().GetLastError(m_h)->dwNativeCode, false);

    HostMessage missing = SimpleText();
    missing.Attach(Path("gone.pdf"));
    EXPECT_EQ(Send(missing.Record()), MAILERR_SEND);
    ExpectLastError(MAILERR_SEND, kSending, Library().GetLastError(m_h)->dwNativeCode, false);
    EXPECT_EQ(server.Count(), 0) << "nothing was delivered";
}

TEST_F(SendFailureTest, StartTlsWithAnUntrustedCertificateIs509AndATrustedOneDelivers) {
    SmtpTestServerProcess::Options options;
    options.certFile = testcerts::Path("server.pem");
    options.keyFile = testcerts::Path("server.key");
    options.user = "sam";
    options.password = "pw 1";
    options.bRequireAuth = true;
    SmtpTestServerProcess server(options);
    ASSERT_NE(server.Port(), 0) << server.StartError();
    Configure("--host 127.0.0.1 --port " + std::to_string(server.Port()) +
              " --starttls on --auth plain --user sam --password 'pw 1'"
              " --sender-address tls@example.org");
    {
        // Another root alone: no chain leads from the server's certificate to it.
        TrustStore trust(testcerts::Path("selfsigned.pem"));
        EXPECT_EQ(Send(SimpleText().Record()), MAILERR_ACCESS_DENIED);
        ExpectLastError(MAILERR_ACCESS_DENIED, kConnecting, 0x800B010A, false);
    }
    {
        TrustStore trust(testcerts::Path("ca.pem"));
        EXPECT_EQ(Send(SimpleText().Record()), MAILERR_OK);
    }
    ASSERT_EQ(server.Count(), 1);
    EXPECT_NE(server.Record(1).find("\"tls\": true"), std::string::npos) << server.Record(1);
    EXPECT_NE(server.Record(1).find("\"auth_user\": \"sam\""), std::string::npos)
        << server.Record(1);
}

// An address goes between the brackets of MAIL FROM or RCPT TO as it stands:
// one that could end them and add parameters of its own, or that no path can
// carry, is refused before any connection, as is a port that would wrap.
TEST_F(SendFailureTest, UnsendableAddressesAndPortsAreRefusedWithoutTraffic) {
    const std::u16string kRefused = u"CSMTPMailAPI::Send() - The address cannot be sent because ";
    const std::u16string kBrackets = u"it contains '<', '>', a blank or a control character: ";
    const std::u16string kLong(300, u'a');
    struct Row {
        const char16_t* senderName;
        std::u16string sender;
        std::u16string recipient;
        std::u16string description;
    };
    const Row rows[] = {
        {nullptr, u"me@example.org", u"a@b> NOTIFY=NEVER ORCPT=rfc822;x",
         kRefused + kBrackets + u"a@b> NOTIFY=NEVER ORCPT=rfc822;x"},
        {u"Me", u"me@example.org\r\nRCPT TO:<evil@example.org>", u"to@example.org",
         kRefused + kBrackets + u"me@example.org RCPT TO:<evil@example.org>"},
        {nullptr, u"me@example.org", u"<to@example.org>",
         kRefused + kBrackets + u"<to@example.org>"},
        {nullptr, u"me@example.org", u"to\t@example.org",
         kRefused + kBrackets + u"to\t@example.org"},
        {u"Me", kLong + u"@example.org", u"to@example.org",
         kRefused + u"it is longer than 254 characters: " + kLong.substr(0, 64) + u"..."},
    };
    WriteIni(ServerIni(UnusedLoopbackPort()));
    for (const Row& row : rows) {
        SCOPED_TRACE(ToUtf8(row.description));
        HostMessage message;
        message.Body(u"b")
            .Originator(row.senderName, row.sender.c_str())
            .To(nullptr, row.recipient.c_str());
        LogCapture capture;
        EXPECT_EQ(Send(message.Record()), MAILERR_INVALID_PARAMS);
        ExpectLastError(MAILERR_INVALID_PARAMS, row.description.substr(0, 255), 0);
        EXPECT_EQ(FunctionRecords(capture, u"TSMTPConnection::Connect"), 0);
    }
    for (const char* port : {"70000", "0", "-25"}) {
        Keys keys = ServerIni(25);
        keys["smtpPort"] = port;
        WriteIni(keys);
        Library().Uninitialize(m_h);
        m_h = nullptr;
        LogCapture capture;
        EXPECT_EQ(Send(SimpleText().Record()), MAILERR_INVALID_PARAMS);
        ExpectLastError(MAILERR_INVALID_PARAMS,
                        u"CSMTPMailAPI::Send() - The port " + FromUtf8(port) +
                            u" is not a TCP port (1 to 65535).",
                        0);
        EXPECT_EQ(FunctionRecords(capture, u"TSMTPConnection::Connect"), 0);
    }
}

// What the provider reads must be a regular file: a FIFO or a device would
// hold the host's thread, so it is refused with "access denied" instead.
TEST_F(SendFailureTest, FilesThatAreNotRegularFilesAreRefusedNotRead) {
    Watchdog watchdog(std::chrono::seconds(60), "Mail_Send reading a FIFO or a device");
    ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
    {
        // A body that cannot be read: 1000, and the server is still greeted.
        ScriptedSmtpServer server;
        server.Send("220 ready\r\n")
            .Exchange("HELO", "250 hello\r\n")
            .Exchange("QUIT", "221 bye\r\n");
        WriteIni(ServerIni(server.Start()));
        HostMessage body = SimpleText();
        body.BodyFile(Path("fifo"));
        EXPECT_EQ(Send(body.Record()), MAILERR_INTERNAL);
        ExpectLastError(MAILERR_INTERNAL, u"Access is denied", 5);
        ASSERT_TRUE(server.Finish());
        Library().Uninitialize(m_h);
        m_h = nullptr;
    }
    for (const std::string& file : {Path("fifo"), std::string("/dev/zero")}) {
        SCOPED_TRACE(file);
        ScriptedSmtpServer server;
        server.Send("220 ready\r\n")
            .Exchange("HELO", "250 hello\r\n")
            .Exchange("MAIL FROM:", "250 ok\r\n")
            .Exchange("RCPT TO:", "250 ok\r\n")
            .Exchange("DATA", "354 go\r\n")
            .StaySilent();
        WriteIni(ServerIni(server.Start()));
        HostMessage message = SimpleText();
        message.Attach(file);
        EXPECT_EQ(Send(message.Record()), MAILERR_SEND);
        ExpectLastError(MAILERR_SEND, kSending + u"Getting body content failed!", 5, false);
        ASSERT_TRUE(server.Finish());
        EXPECT_EQ(server.Received().find("\r\n.\r\n"), std::string::npos) << "nothing delivered";
        Library().Uninitialize(m_h);
        m_h = nullptr;
    }
}

// Port 465 is submission over TLS from the first byte: the handshake, with
// the same certificate check as after STARTTLS, comes before the greeting,
// and no STARTTLS follows. The server must listen on 465 itself.
TEST_F(SendFailureTest, ImplicitTlsOnPort465DeliversAndChecksTheCertificate) {
    struct Row {
        const char* cert;
        MAILRESULT code;
        uint32_t native;
    };
    for (const Row& row :
         {Row{"server", MAILERR_OK, 0}, Row{"wrongname", MAILERR_ACCESS_DENIED, 0x800B010F}}) {
        SCOPED_TRACE(row.cert);
        SmtpTestServerProcess::Options options;
        options.certFile = testcerts::Path(std::string(row.cert) + ".pem");
        options.keyFile = testcerts::Path(std::string(row.cert) + ".key");
        options.bImplicitTls = true;
        options.nPort = 465;
        options.user = "sam";
        options.password = "pw";
        options.bRequireAuth = true;
        SmtpTestServerProcess server(options);
        if (server.Port() == 0 && ::getuid() != 0 && std::getenv("CI") == nullptr)
            GTEST_SKIP() << "port 465 needs root here: " << server.StartError();
        ASSERT_EQ(server.Port(), 465) << server.StartError();
        // STARTTLS on: it must not be asked for over a channel that is TLS already.
        Configure(
            "--host localhost --port 465 --starttls on --auth plain --user sam"
            " --password pw --sender-address tls@example.org");
        TrustStore trust(testcerts::Path("ca.pem"));
        EXPECT_EQ(Send(SimpleText().Record()), row.code) << ToUtf8(Description());
        if (row.code != MAILERR_OK) {
            ExpectLastError(row.code, kConnecting, row.native, false);
            EXPECT_EQ(server.Count(), 0);
        } else {
            ASSERT_EQ(server.Count(), 1);
            EXPECT_NE(server.Record(1).find("\"tls\": true"), std::string::npos);
            EXPECT_NE(server.Record(1).find("\"auth_user\": \"sam\""), std::string::npos);
        }
        Library().Uninitialize(m_h);
        m_h = nullptr;
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
    EXPECT_EQ(FunctionRecords(capture, u"TSMTPConnection::Connect"), 0);
}

TEST_F(SendFailureTest, WrongNtlmPasswordIs509) {
    NtlmUserFiles files;
    ClientUserFile client(files.Write("client", "TESTDOM:alice:NotSecret\n"));
    ChildProcess server(
        {SMTPMAIL_TEST_PYTHON, std::string(SMTPMAIL_TEST_SOURCE_DIR) + "/support/ntlm_smtpd.py",
         "--users", files.Write("server", "TESTDOM:alice:Secret123\n"), "--stop-on-eof"});
    std::string line;
    ASSERT_TRUE(server.WaitForLine("listening on 127.0.0.1 port ", line)) << server.Transcript();
    Keys keys = ServerIni(std::stoi(line.substr(line.rfind(' ') + 1)));
    keys["smtpAuth"] = "4";
    WriteIni(keys);
    EXPECT_EQ(Send(SimpleText().Record()), MAILERR_ACCESS_DENIED);
    EXPECT_NE(Description().find(u"TSMTPConnection::AuthenticateNTLM; Authentication unsuccesful!"),
              std::u16string::npos)
        << ToUtf8(Description());
    ExpectLastError(MAILERR_ACCESS_DENIED, kConnecting, Library().GetLastError(m_h)->dwNativeCode,
                    false);
    EXPECT_TRUE(server.WaitForLine("AUTH NTLM refused", line)) << server.Transcript();
}

}  // namespace
