// Every way Mail_Send fails, through the exports: the code, the description
// and the native code of the last error, the host log, and what reached the
// server.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "ScriptedSmtpServer.h"
#include "SendFixture.h"
#include "platform/Files.h"
#include "platform/LastError.h"

namespace {

using ::testing::Contains;
using ::testing::IsEmpty;
using ::testing::Not;

const std::u16string kAddress = u"CSMTPMailAPI::Send() - The address cannot be sent because ";

using SendFailureTest = SendFixture;

// What cannot be sent is refused before any connection: no sender, no host,
// an address that could end its brackets and add parameters of its own, whose
// domain IDNA refuses (a disallowed character, an empty label, a label over
// 63 octets) or that no path can carry (counted in A-labels), a port that
// would wrap.
TEST_F(SendFailureTest, RefusedBeforeAnyTraffic) {
    const std::u16string kIdna =
        u"its domain is not a valid internationalized domain name (IDNA): ";
    const std::u16string kTen(10, u'\u00e4');  // an A-label of 16 characters
    const std::u16string kALabelsTooLong = std::u16string(180, u'a') + u"@" + kTen + u"." + kTen +
                                           u"." + kTen + u"." + kTen + u".example";
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
    } rows[] = {
        {"-", nullptr, u"", u"", kNoSender},
        {"-", u"Only A Name", u"", kTo, kNoSender},
        {nullptr, nullptr, kMe, kTo, u"CSMTPMailAPI::Send() - HostName may not be NULL."},
        {"25", nullptr, kMe, u"a@b> NOTIFY=NEVER ORCPT=rfc822;x",
         kAddress + kBrackets + u"a@b> NOTIFY=NEVER ORCPT=rfc822;x"},
        {"25", u"Me", u"me@example.org\r\nRCPT TO:<evil@example.org>", u"t@x.org",
         kAddress + kBrackets + u"me@example.org RCPT TO:<evil@example.org>"},
        {"25", nullptr, kMe, u"<to@example.org>", kAddress + kBrackets + u"<to@example.org>"},
        {"25", nullptr, kMe, u"to\t@example.org", kAddress + kBrackets + u"to\t@example.org"},
        {"25", u"Me", kLong + u"@example.org", kTo,
         kAddress + u"it is longer than 254 characters: " + kLong.substr(0, 64) + u"..."},
        {"25", nullptr, kMe, u"to@b\u00fc\ufffd.example",
         kAddress + kIdna + u"to@b\u00fc\ufffd.example"},
        {"25", nullptr, kMe, u"to@b\u00fc..example", kAddress + kIdna + u"to@b\u00fc..example"},
        {"25", u"Me", u"me@\u00fc" + std::u16string(63, u'a') + u".example", kTo,
         kAddress + kIdna + u"me@\u00fc" + std::u16string(60, u'a') + u"..."},
        {"25", nullptr, kMe, kALabelsTooLong,
         kAddress + u"it is longer than 254 characters: " + std::u16string(64, u'a') + u"..."},
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
        for (const auto& r : capture.Records())
            EXPECT_FALSE(r.function == u"TSMTPConnection::Connect" && r.action == u"enter");
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
    EXPECT_TRUE(Logged(3));
}

// A local part outside ASCII to a server that does not list SMTPUTF8, or
// greets with HELO: 505 naming the address after the greeting, QUIT, no MAIL.
TEST_F(SendFailureTest, AddressInUtf8WithoutSmtpUtf8Is505AfterTheGreeting) {
    for (const char* ehlo : {"250-mail.test\r\n250 8BITMIME\r\n", "502 no\r\n"}) {
        ScriptedSmtpServer server;
        server.Send("220 mail.test\r\n").Exchange("EHLO", ehlo);
        if (ehlo[0] == '5')
            server.Exchange("HELO", "250 mail.test\r\n");
        server.Exchange("QUIT", "221 bye\r\n");
        WriteIni(ServerIni(server.Start()));
        HostMessage message = SimpleText();
        message.To(nullptr, u"j\u00f6rg@b\u00fccher.example");
        EXPECT_EQ(Send(message.Record()), MAILERR_INVALID_PARAMS);
        ExpectLastError(MAILERR_INVALID_PARAMS,
                        kAddress +
                            u"the server does not accept internationalized addresses "
                            u"(SMTPUTF8): j\u00f6rg@xn--bcher-kva.example",
                        0);
        ASSERT_TRUE(server.Finish());
        EXPECT_THAT(server.Errors(), IsEmpty()) << "more than the greeting and QUIT";
        Close();
    }
}

// Files the provider cannot read fail the same way, a body after the
// greeting, an attachment after the server said 354, and nothing is
// delivered. What is not a regular file (a FIFO, a device: SpecialFiles) is
// refused at once, never waited for.
TEST_F(SendFailureTest, FilesThatCannotBeReadDeliverNothing) {
    const std::u16string kBody = kSending + u"Getting body content failed!";
    struct Row {
        bool bBody;
        std::string path;
        uint32_t native;
    };
    // A path longer than the system takes: both fail with the system's answer to opening it.
    const std::string tooLong = HostFile(std::string(5000, 'b'));
    const uint32_t tooLongCode = [&] {
        HANDLE h = platform::CreateFileW(FromUtf8(tooLong).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                         OPEN_EXISTING, 0);
        EXPECT_EQ(h, INVALID_HANDLE_VALUE);
        return platform::GetLastError();
    }();
    std::vector<Row> rows = {{true, HostFile("no-such-body.txt"), 2},
                             {false, HostFile("gone.pdf"), 2},
                             {true, tooLong, tooLongCode},
                             {false, tooLong, tooLongCode}};
    for (const std::string& special : SpecialFiles(Path("")))
        rows.insert(rows.end(), {{true, special, 5}, {false, special, 5}});
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        ScriptedSmtpServer server;
        HostMessage message = SimpleText();
        if (row.bBody) {
            Helo(server).Exchange("QUIT", "221 bye\r\n");
            message.BodyFile(row.path);
        } else {
            UpToData(Helo(server)).StaySilent();
            message.Attach(row.path);
        }
        WriteIni(ServerIni(server.Start()));
        EXPECT_EQ(Send(message.Record()), MAILERR_SEND);
        ExpectLastError(MAILERR_SEND, kBody, row.native, false);
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

// Each certificate problem of a capture peer over STARTTLS, with its waiver:
// refused by the chain policy with its error (509), or delivered over TLS.
TEST_F(SendFailureTest, EachCertificateProblemHasItsCodeAndItsWaiver) {
    ExpectCertificateRows({
        {"server", "localhost", 0, 0},
        {"wrongname", "localhost", 0, 0x800B010F},
        {"wrongname", "localhost", 0x1000, 0},
        {"expired", "localhost", 0, 0x800B0101},
        {"expired", "localhost", 0x2000, 0},
        {"selfsigned", "localhost", 0, 0x800B0109},
        {"selfsigned", "localhost", 0x100, 0},
        // Nothing is examined: a self-signed certificate for another name passes.
        {"selfsigned", "127.0.0.1", 0x4000, 0},
        // The intermediate the server sends goes to the chain engine.
        {"fullchain", "localhost", 0, 0},
        {"wrongname", "127.0.0.1", 0, 0x800B010F},
    });
}

// AUTH NTLM against a server that accepts it with gss-ntlmssp: the client
// logs on as the session's user (the password settings play no part), anew for
// each send, with its token in the AUTH line; every failure is 509 with the
// session's text, and a client that gives up at a bad challenge says goodbye.
TEST_F(SendFailureTest, NtlmLogsOnAsTheSessionUser) {
    const char* const kAlice = "TESTDOM:alice:Secret123";
    const struct {
        const char* peer;
        const char* user;       // the session's user; null: none
        const char16_t* error;  // in the description; null: delivered
        std::vector<const char*> serverLines;
    } rows[] = {
        {"ntlm",
         "TESTDOM:bob:Other456",
         nullptr,
         {"AUTH NTLM with initial response", "AUTH NTLM accepted TESTDOM\\bob", "message "}},
        {"ntlm", kAlice, nullptr, {"AUTH NTLM accepted TESTDOM\\alice"}},
        {"ntlm",
         "TESTDOM:alice:NotSecret",
         u"TSMTPConnection::AuthenticateNTLM; Authentication unsuccesful!",
         {"AUTH NTLM refused"}},
        {"ntlm-malformed", kAlice, u"Base64", {"challenge malformed", "QUIT during AUTH"}},
        {"ntlm-overlong", kAlice, u"15000", {"challenge overlong 16000 bytes", "QUIT during AUTH"}},
        {"ntlm", nullptr, u"No credentials are available in the security package.", {}},
    };
    SessionUser session;
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.peer) + " " + (row.user ? row.user : "no user"));
        if (!session.LogOn(row.user))
            continue;
        Configure(StoreSettings{"localhost", PeerPort(row.peer), kAuthNtlm, false, 0, "not-used",
                                "not used either"});
        const MAILRESULT rc = Send(SimpleText().Record());
        if (row.error == nullptr) {
            EXPECT_EQ(rc, MAILERR_OK) << ToUtf8(Description());
        } else {
            EXPECT_EQ(rc, MAILERR_ACCESS_DENIED);
            EXPECT_NE(Description().find(row.error), std::u16string::npos) << ToUtf8(Description());
            ExpectLastError(MAILERR_ACCESS_DENIED, kConnecting, -1, false);
        }
        std::string lines;
        for (const std::string& line : AskPeers("connection " + std::string(row.peer)))
            lines += line + "\n";
        for (const char* expected : row.serverLines)
            EXPECT_NE(lines.find(expected), std::string::npos) << expected << "\n" << lines;
        EXPECT_EQ(lines.find("without initial response"), std::string::npos) << lines;
        EXPECT_EQ(lines.find("AUTH NTLM") != std::string::npos, !row.serverLines.empty()) << lines;
    }
}

}  // namespace
