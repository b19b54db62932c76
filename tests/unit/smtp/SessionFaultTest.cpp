// Fault injection: the server drops the connection at every step of a full
// dialogue in turn (greeting, EHLO, STARTTLS, TLS handshake, AUTH LOGIN,
// MAIL, RCPT, DATA, message, end of data, QUIT). Each run must end with a
// TSMTPException (or, for the goodbye, quietly), the socket closed, no
// descriptor left open and no hang.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "ScratchDir.h"
#include "ScriptedSmtpServer.h"
#include "SessionTestSupport.h"

using ::testing::IsEmpty;

namespace {

// The whole dialogue; returns the index of the first step of the goodbye.
std::size_t ScriptFullDialogue(ScriptedSmtpServer& server, bool bTls) {
    server.Send("220 mail.test ESMTP\r\n").Expect("EHLO");
    if (bTls) {
        server.SendSegments({"250-mail.test\r\n", "250-STARTTLS\r\n", "250 8BITMIME\r\n"})
            .Exchange("STARTTLS", "220 2.0.0 Ready to start TLS\r\n")
            .StartTls()
            .Expect("EHLO");
    }
    server.SendSegments({"250-mail.test\r\n", "250-AUTH LOGIN PLAIN\r\n", "250 8BITMIME\r\n"})
        .Exchange("AUTH LOGIN", kUsernamePrompt)
        .Exchange("dXNlcg==", kPasswordPrompt)
        .Exchange("cGFzcw==", "235 2.7.0 ok\r\n")
        .Exchange("MAIL FROM:", "250 ok\r\n")
        .Exchange("RCPT TO:<bob@example.org>", "250 ok\r\n")
        .Exchange("RCPT TO:<carol@example.org>", "250 ok\r\n")
        .Exchange("DATA", "354 go ahead\r\n")
        .ExpectData()
        .Send("250 2.0.0 queued\r\n");
    const std::size_t goodbye = server.StepCount();
    server.Exchange("QUIT", "221 bye\r\n");
    return goodbye;
}

}  // namespace

class FaultTest : public SessionTest, public ::testing::WithParamInterface<bool> {};

TEST_P(FaultTest, DropAtEveryStep) {
    const bool bTls = GetParam();
    std::size_t steps = 0;
    std::size_t goodbye = 0;
    {
        ScriptedSmtpServer probe;
        goodbye = ScriptFullDialogue(probe, bTls);
        steps = probe.StepCount();
    }
    auto message = TextMessage();
    message->AddRecipient(TSMTPAddress(u"", u"carol@example.org"), TSMTPMessage::CC);
    const int before = OpenDescriptors();
    for (std::size_t k = 0; k <= steps; ++k) {
        SCOPED_TRACE("drop at step " + std::to_string(k));
        {
            ScriptedSmtpServer server;
            ScriptFullDialogue(server, bTls);
            server.DropAt(k);
            bool bConnected = false;
            const SessionRun run = Run(
                server,
                [&](TSMTPConnection& session, int nPort) {
                    session.Connect(u"localhost", TSMTPConnection::AUTH_LOGIN, u"user", u"pass",
                                    nPort);
                    bConnected = true;
                    session.SendMessageW(*message);
                },
                bTls);
            if (k < goodbye) {
                ASSERT_TRUE(run.error) << "no exception";
                EXPECT_FALSE(run.error->m_strMessage.empty());
                // A failed Connect leaves nothing open; a failed transaction
                // leaves the connection to the destructor.
                EXPECT_TRUE(run.bClosed || bConnected);
            } else {
                EXPECT_FALSE(run.error) << ToUtf8(run.error->GetErrorText());
            }
            if (k == steps) {
                EXPECT_THAT(run.errors, IsEmpty());
            }
        }
        EXPECT_EQ(OpenDescriptors(), before);
    }
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, FaultTest,
                         ::testing::ValuesIn(kScriptedTls ? std::vector<bool>{false, true}
                                                          : std::vector<bool>{false}),
                         [](const ::testing::TestParamInfo<bool>& p) {
                             return p.param ? "Tls" : "Plain";
                         });

// An attachment that cannot be read wholly fails after the server has said
// 354: it now takes every line as message text, so the session closes the
// connection (the server discards the unfinished message) instead of a QUIT
// that would wait for a reply that never comes. A file over the limit fails
// before any byte of its part; one that shrinks while it is read, half way.
// (A missing file is a delivery test's row.)
TEST_F(SessionTest, AttachmentsThatCannotBeReadWhollyDeliverNothing) {
    ScratchDir dir;
    const std::string large = dir.File("large.bin");
    struct Row {
        const char* what;
        std::string path;
        DWORD dwError;
        bool bShrinks = false;
    };
    const Row rows[] = {
        {"one byte over the limit", large, ERROR_INVALID_PARAMETER},
    // On Windows the session opens the file without sharing it, so
    // nobody can shorten it while it is read.
#if !defined(_WIN32)
        {"shrinks while it is read", large, ERROR_HANDLE_EOF, true},
#endif
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        // A sparse file over the limit; a real one large enough to be read for a while.
        WriteBytes(large, row.bShrinks ? std::string(40u << 20, 'a') : std::string());
        if (!row.bShrinks)
            std::filesystem::resize_file(large, 52428801);
        ScriptedSmtpServer server;
        server.Send("220 mail.test\r\n")
            .Exchange("EHLO", "250 hello\r\n")
            .Exchange("MAIL FROM:", "250 ok\r\n")
            .Exchange("RCPT TO:", "250 ok\r\n")
            .Exchange("DATA", "354 go ahead\r\n");
        if (row.bShrinks) {
            // The client has the file open and its first lines are here.
            server.ExpectText("Content-Disposition: attachment")
                .Call([&] { std::filesystem::resize_file(large, 1000); })
                .StopReading(std::chrono::milliseconds(0));
        } else {
            server.StaySilent();
        }
        auto message = TextMessage();
        TSMTPBodyPart attachment;
        attachment.SetFilename(FromUtf8(row.path));
        message->AddBodyPart(attachment);
        const SessionRun run =
            Run(server, ConnectAndSend(TSMTPConnection::AUTH_NONE, message.get()));
        ASSERT_TRUE(run.error);
        EXPECT_EQ(run.error->m_strMessage, u"Getting body content failed!");
        EXPECT_EQ(run.error->m_dwError, row.dwError);
        EXPECT_TRUE(run.bClosed) << "closed at once, not left for a QUIT";
        EXPECT_TRUE(run.bClientClosed);
        EXPECT_THAT(run.errors, IsEmpty());
        EXPECT_EQ(run.received.find("QUIT"), std::string::npos);
        EXPECT_EQ(run.received.find("\r\n.\r\n"), std::string::npos) << "no end of data";
        if (!row.bShrinks) {
            EXPECT_EQ(run.received.find("Content-Disposition: attachment"), std::string::npos)
                << "no byte of the part";
        }
    }
}
