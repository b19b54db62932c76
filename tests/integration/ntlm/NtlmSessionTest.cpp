// The session's AUTH NTLM against an SMTP server that accepts NTLM with
// python3-gssapi and gss-ntlmssp (tests/support/ntlm_smtpd.py). The server's
// users and the client's credentials come from two different user files.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "CaughtException.h"
#include "ChildProcess.h"
#include "GssMechanismLeaks.h"
#include "LogCapture.h"
#include "NtlmPeer.h"
#include "smtp/TSMTPConnection.h"
#include "transport/TSMTPException.h"

namespace {

constexpr const char* kServerUsers = "TESTDOM:alice:Secret123\nTESTDOM:bob:Other456\n";

struct NtlmRun {
    std::optional<TSMTPException> error;
    bool bConnected = false;
    std::string serverLines;  // the server's lines about the connection, up to its end
};

// Starts the server with a challenge mode of ntlm_smtpd.py, connects with
// AUTH NTLM (user and password are not used: the logged-on user's
// credentials are) and ends the session.
NtlmRun ConnectNtlm(NtlmUserFiles& files, const std::string& mode) {
    ChildProcess server(
        {SMTPMAIL_TEST_PYTHON, std::string(SMTPMAIL_TEST_SOURCE_DIR) + "/support/ntlm_smtpd.py",
         "--users", files.Write("server", kServerUsers), "--challenge", mode, "--stop-on-eof"});
    NtlmRun run;
    std::string line;
    if (!server.WaitForLine("listening on 127.0.0.1 port ", line)) {
        ADD_FAILURE() << server.Transcript();
        return run;
    }
    const size_t start = server.Transcript().size();
    {
        TSMTPConnection connection(false, 0);
        run.error = Catch([&] {
            connection.Connect(u"127.0.0.1", TSMTPConnection::AUTH_NTLM, u"nobody", u"nothing",
                               std::stoi(line.substr(line.rfind(' ') + 1)));
        });
        run.bConnected = connection.m_bConnected;
    }
    EXPECT_TRUE(server.WaitForLine("connection closed", line)) << server.Transcript();
    run.serverLines = server.Transcript().substr(start);
    return run;
}

bool Has(const std::string& lines, const char* text) {
    return lines.find(text) != std::string::npos;
}

}  // namespace

TEST(NtlmSession, LoggedOnUserIsAuthenticatedWithTheTokenInTheAuthLine) {
    NtlmUserFiles files;
    ClientUserFile client(files.Write("client", "TESTDOM:bob:Other456\n"));
    const NtlmRun run = ConnectNtlm(files, "gss");
    ASSERT_FALSE(run.error) << ToUtf8(run.error->GetErrorText());
    EXPECT_TRUE(run.bConnected);
    EXPECT_TRUE(Has(run.serverLines, "AUTH NTLM with initial response")) << run.serverLines;
    EXPECT_FALSE(Has(run.serverLines, "AUTH NTLM without initial response")) << run.serverLines;
    EXPECT_TRUE(Has(run.serverLines, "AUTH NTLM accepted TESTDOM\\bob")) << run.serverLines;
}

TEST(NtlmSession, FailuresEndTheLoginWithAKindThreeException) {
    const struct {
        const char* what;
        const char* clientUsers;  // null: no user file
        const char* mode;
        const char16_t* message;  // the whole message, or a part of it
        bool bWhole;
        const char* serverLine;  // a line the server wrote about it
    } cases[] = {
        {"wrong password", "TESTDOM:alice:NotSecret\n", "gss",
         u"TSMTPConnection::AuthenticateNTLM; Authentication unsuccesful!", true,
         "AUTH NTLM refused"},
        // The client gives up at a bad challenge and says goodbye.
        {"challenge not Base64", "TESTDOM:alice:Secret123\n", "malformed", u"Base64", false,
         "challenge malformed"},
        {"challenge over 15000 bytes", "TESTDOM:alice:Secret123\n", "overlong", u"15000", false,
         "challenge overlong 16000 bytes"},
        // Nothing is sent without credentials.
        {"missing credentials", nullptr, "gss",
         u"No credentials are available in the security package.", true, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        NtlmUserFiles files;
        ClientUserFile client(c.clientUsers != nullptr ? files.Write("client", c.clientUsers)
                                                       : files.PathOf("no-such-file"));
        LogCapture log;
        const NtlmRun run = ConnectNtlm(files, c.mode);
        ASSERT_TRUE(run.error);
        EXPECT_EQ(run.error->m_nKind, 3);
        if (c.bWhole) {
            EXPECT_EQ(run.error->m_strMessage, c.message);
            EXPECT_TRUE(log.Contains(c.message)) << log.Dump();
        } else {
            EXPECT_NE(run.error->m_strMessage.find(c.message), std::u16string::npos)
                << ToUtf8(run.error->m_strMessage);
        }
        EXPECT_FALSE(run.bConnected) << "the failed login ends the connection";
        if (c.serverLine != nullptr) {
            EXPECT_TRUE(Has(run.serverLines, "AUTH NTLM with initial response")) << run.serverLines;
            EXPECT_TRUE(Has(run.serverLines, c.serverLine)) << run.serverLines;
            EXPECT_EQ(Has(run.serverLines, "QUIT during AUTH"), std::string(c.mode) != "gss")
                << run.serverLines;
        } else {
            EXPECT_FALSE(Has(run.serverLines, "AUTH NTLM")) << run.serverLines;
        }
    }
}
