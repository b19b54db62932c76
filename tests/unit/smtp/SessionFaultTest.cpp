// Fault injection: the server drops the connection at every step of a full
// dialogue in turn (greeting, EHLO, STARTTLS, TLS handshake, AUTH LOGIN,
// MAIL, RCPT, DATA, message, end of data, QUIT). Each run must end with a
// TSMTPException (or, for the goodbye, quietly), the socket closed, no
// descriptor left open and no hang.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "ScratchDir.h"
#include "ScriptedSmtpServer.h"
#include "SessionTestSupport.h"

using ::testing::IsEmpty;

namespace {

// The whole dialogue; returns the index of the first step of the goodbye.
// closes: from the step of each key on, what the session says when the server
// closes the connection (it names the last command it sent).
std::size_t ScriptFullDialogue(ScriptedSmtpServer& server, bool bTls,
                               std::map<std::size_t, std::u16string>* closes = nullptr) {
    auto from = [&](const std::u16string& what) {
        if (closes != nullptr)
            (*closes)[server.StepCount()] = u"The server closed the connection " + what;
        return &server;
    };
    from(u"without a greeting.")->Send("220 mail.test ESMTP\r\n");
    from(u"after EHLO.")->Expect("EHLO");
    if (bTls) {
        server.SendSegments({"250-mail.test\r\n", "250-STARTTLS\r\n", "250 8BITMIME\r\n"});
        from(u"after STARTTLS.")->Exchange("STARTTLS", "220 2.0.0 Ready to start TLS\r\n");
        from(u"in the TLS handshake.")->StartTls();
        from(u"after EHLO.")->Expect("EHLO");
    }
    server.SendSegments({"250-mail.test\r\n", "250-AUTH LOGIN PLAIN\r\n", "250 8BITMIME\r\n"});
    from(u"after AUTH.")
        ->Exchange("AUTH LOGIN", kUsernamePrompt)
        .Exchange("dXNlcg==", kPasswordPrompt)
        .Exchange("cGFzcw==", "235 2.7.0 ok\r\n");
    from(u"after MAIL FROM.")->Exchange("MAIL FROM:", "250 ok\r\n");
    from(u"after RCPT TO.")
        ->Exchange("RCPT TO:<bob@example.org>", "250 ok\r\n")
        .Exchange("RCPT TO:<carol@example.org>", "250 ok\r\n");
    from(u"after DATA.")->Exchange("DATA", "354 go ahead\r\n");
    from(u"after the end of the data.")->ExpectData().Send("250 2.0.0 queued\r\n");
    const std::size_t goodbye = server.StepCount();
    server.Exchange("QUIT", "221 bye\r\n");
    return goodbye;
}

}  // namespace

class FaultTest : public SessionTest, public ::testing::WithParamInterface<bool> {};

TEST_P(FaultTest, DropAtEveryStep) {
    const bool bTls = GetParam();
    std::size_t steps = 0, goodbye = 0;
    std::map<std::size_t, std::u16string> closes;
    {
        ScriptedSmtpServer probe;
        goodbye = ScriptFullDialogue(probe, bTls, &closes);
        steps = probe.StepCount();
    }
    std::size_t nCloses = 0;
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
                // A close says so, naming the right command (a send into the
                // closed connection may fail first).
                if (run.error->m_strMessage.starts_with(u"The server closed")) {
                    EXPECT_EQ(run.error->m_strMessage, std::prev(closes.upper_bound(k))->second);
                    EXPECT_EQ(run.error->m_dwError, 10054u);
                    EXPECT_EQ(run.error->m_nKind, 3) << "an error in the host's log";
                    ++nCloses;
                }
                // A failed Connect leaves nothing open; a failed transaction
                // leaves the connection to the destructor.
                EXPECT_TRUE(run.bClosed || bConnected);
            } else {
                EXPECT_FALSE(run.error) << ToUtf8(run.error->GetErrorText());
            }
            EXPECT_THAT(k == steps ? server.Errors() : std::vector<std::string>(), IsEmpty());
        }
        EXPECT_EQ(OpenDescriptors(), before);
    }
    EXPECT_GE(nCloses, goodbye / 2) << "most drops are seen as closes";
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
        const char16_t* text;
        bool bShrinks = false;
    };
    const Row rows[] = {
        {"one byte over the limit", large, ERROR_FILE_TOO_LARGE,
         u"The attachment is larger than 52428800 bytes."},
    // On Windows the session opens the file shared with readers only, so
    // nobody can shorten it while it is read.
#if !defined(_WIN32)
        {"shrinks while it is read", large, ERROR_HANDLE_EOF, u"Getting body content failed!",
         true},
#endif
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        // A sparse file over the limit; a real one large enough to be read for a while.
        WriteBytes(large, row.bShrinks ? std::string(40u << 20, 'a') : std::string());
        if (!row.bShrinks)
            std::filesystem::resize_file(large, 52428801);
        ScriptedSmtpServer server;
        UpToData(Helo(server));
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
        EXPECT_EQ(run.error->m_strMessage, row.text);
        EXPECT_EQ(run.error->m_dwError, row.dwError);
        EXPECT_TRUE(run.bClosed) << "closed at once, not left for a QUIT";
        EXPECT_TRUE(server.ClientClosed());
        EXPECT_THAT(server.Errors(), IsEmpty());
        EXPECT_EQ(server.Received().find("QUIT"), std::string::npos);
        EXPECT_EQ(server.Received().find("\r\n.\r\n"), std::string::npos) << "no end of data";
        if (!row.bShrinks) {
            EXPECT_EQ(server.Received().find("Content-Disposition: attachment"), std::string::npos)
                << "no byte of the part";
        }
    }
}
