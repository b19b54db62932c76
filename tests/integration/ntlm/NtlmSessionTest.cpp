// The session's AUTH NTLM against an SMTP server that accepts NTLM with
// python3-gssapi and gss-ntlmssp (tests/support/ntlm_smtpd.py). The server's
// users and the client's credentials come from two different user files.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "ChildProcess.h"
#include "GssMechanismLeaks.h"
#include "LogCapture.h"
#include "NtlmPeer.h"
#include "smtp/TSMTPConnection.h"
#include "transport/TSMTPException.h"

namespace {

constexpr const char* kServerUsers = "TESTDOM:alice:Secret123\nTESTDOM:bob:Other456\n";

class NtlmSessionTest : public ::testing::Test {
protected:
    // Starts the server with a challenge mode of ntlm_smtpd.py; the port is 0
    // when it did not come up.
    void StartServer(const std::string& mode = "gss") {
        std::string script = std::string(SMTPMAIL_TEST_SOURCE_DIR) + "/support/ntlm_smtpd.py";
        m_server = std::make_unique<ChildProcess>(std::vector<std::string>{
            SMTPMAIL_TEST_PYTHON, script, "--users", m_files.Write("server", kServerUsers),
            "--challenge", mode, "--stop-on-eof"});
        std::string line;
        ASSERT_TRUE(m_server->WaitForLine("listening on 127.0.0.1 port ", line))
            << m_server->Transcript();
        m_nPort = std::stoi(line.substr(line.rfind(' ') + 1));
    }

    // The server's lines about one connection, up to its end.
    std::string ServerLines() {
        std::string line;
        size_t start = m_server->Transcript().size();
        EXPECT_TRUE(m_server->WaitForLine("connection closed", line)) << m_server->Transcript();
        return m_server->Transcript().substr(start);
    }

    // Connects with AUTH NTLM; the exception when it fails.
    std::optional<TSMTPException> ConnectNtlm(TSMTPConnection& connection) {
        try {
            // User and password are not used by NTLM: the logged-on user's credentials are.
            EXPECT_TRUE(connection.Connect(u"127.0.0.1", TSMTPConnection::AUTH_NTLM, u"nobody",
                                           u"nothing", m_nPort));
        } catch (TSMTPException& e) {
            return e;
        }
        return std::nullopt;
    }

    NtlmUserFiles m_files;
    std::unique_ptr<ChildProcess> m_server;
    int m_nPort = 0;
};

TEST_F(NtlmSessionTest, LoggedOnUserIsAuthenticated) {
    ClientUserFile client(m_files.Write("client", "TESTDOM:bob:Other456\n"));
    StartServer();
    {
        TSMTPConnection connection(false, 0);
        auto failure = ConnectNtlm(connection);
        ASSERT_FALSE(failure) << ToUtf8(failure->GetErrorText());
        EXPECT_TRUE(connection.m_bConnected);
    }
    std::string lines = ServerLines();
    EXPECT_NE(lines.find("AUTH NTLM with initial response"), std::string::npos) << lines;
    EXPECT_EQ(lines.find("AUTH NTLM without initial response"), std::string::npos) << lines;
    EXPECT_NE(lines.find("AUTH NTLM accepted TESTDOM\\bob"), std::string::npos) << lines;
}

TEST_F(NtlmSessionTest, WrongPasswordEndsWithAuthenticationUnsuccessful) {
    ClientUserFile client(m_files.Write("client", "TESTDOM:alice:NotSecret\n"));
    StartServer();
    LogCapture log;
    TSMTPConnection connection(false, 0);
    auto failure = ConnectNtlm(connection);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->m_nKind, 3);
    EXPECT_EQ(failure->m_strMessage,
              u"TSMTPConnection::AuthenticateNTLM; Authentication unsuccesful!");
    EXPECT_TRUE(log.Contains(u"TSMTPConnection::AuthenticateNTLM; Authentication unsuccesful!"))
        << log.Dump();
    // The failed login ends the connection.
    EXPECT_FALSE(connection.m_bConnected);
    std::string lines = ServerLines();
    EXPECT_NE(lines.find("AUTH NTLM with initial response"), std::string::npos) << lines;
    EXPECT_NE(lines.find("AUTH NTLM refused"), std::string::npos) << lines;
}

TEST_F(NtlmSessionTest, ChallengeThatIsNotBase64EndsTheLogin) {
    ClientUserFile client(m_files.Write("client", "TESTDOM:alice:Secret123\n"));
    StartServer("malformed");
    TSMTPConnection connection(false, 0);
    auto failure = ConnectNtlm(connection);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->m_nKind, 3);
    EXPECT_NE(failure->m_strMessage.find(u"Base64"), std::u16string::npos)
        << ToUtf8(failure->m_strMessage);
    std::string lines = ServerLines();
    // The client gave up at the challenge and said goodbye.
    EXPECT_NE(lines.find("QUIT during AUTH"), std::string::npos) << lines;
}

TEST_F(NtlmSessionTest, OverlongChallengeEndsTheLogin) {
    ClientUserFile client(m_files.Write("client", "TESTDOM:alice:Secret123\n"));
    StartServer("overlong");
    TSMTPConnection connection(false, 0);
    auto failure = ConnectNtlm(connection);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->m_nKind, 3);
    EXPECT_NE(failure->m_strMessage.find(u"15000"), std::u16string::npos)
        << ToUtf8(failure->m_strMessage);
    std::string lines = ServerLines();
    EXPECT_NE(lines.find("challenge overlong 16000 bytes"), std::string::npos) << lines;
    EXPECT_NE(lines.find("QUIT during AUTH"), std::string::npos) << lines;
}

TEST_F(NtlmSessionTest, MissingCredentialsFailBeforeAnythingIsSent) {
    ClientUserFile client(m_files.PathOf("no-such-file"));
    StartServer();
    TSMTPConnection connection(false, 0);
    auto failure = ConnectNtlm(connection);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->m_nKind, 3);
    EXPECT_EQ(failure->m_strMessage, u"No credentials are available in the security package.");
    std::string lines = ServerLines();
    EXPECT_EQ(lines.find("AUTH NTLM"), std::string::npos) << lines;
}

}  // namespace
