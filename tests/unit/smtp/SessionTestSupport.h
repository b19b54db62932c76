// Shared pieces of the session tests.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "CaughtException.h"
#include "LogCapture.h"
#include "OpenDescriptors.h"
#include "ScriptedSmtpServer.h"
#if !defined(_WIN32)
#include "Environment.h"
#endif
#include "diag/HostLog.h"
#include "mime/TSMTPMessage.h"
#include "smtp/TSMTPConnection.h"
#include "transport/TSMTPException.h"
#include "transport/TSMTPSSLSocket.h"

inline constexpr const char* kGreeting = "220 mail.test ESMTP ready\r\n";
// Base64 of "Username:" and "Password:", as servers prompt for AUTH LOGIN.
inline constexpr const char* kUsernamePrompt = "334 VXNlcm5hbWU6\r\n";
inline constexpr const char* kPasswordPrompt = "334 UGFzc3dvcmQ6\r\n";

// The scripted server speaks TLS through OpenSSL, which the Windows build
// does not have: there, the dialogues that reach the handshake stay with the
// Linux suite.
#if defined(_WIN32)
inline constexpr bool kScriptedTls = false;
#else
inline constexpr bool kScriptedTls = true;
#endif

// What one run of a session did (the scripted server holds what it saw of it).
struct SessionRun {
    std::optional<TSMTPException> error;
    bool bClosed = false;  // socket closed and not connected right after the failure
};

class SessionTest : public ::testing::Test {
protected:
    using Steps = std::function<void(TSMTPConnection&, int nPort)>;

    void SetUp() override { SetHostLogProvider(&m_hostLog); }
    void TearDown() override { SetHostLogProvider(nullptr); }

    // A session that waits at most a few seconds for a reply (the tests'
    // servers answer at once or never) and introduces itself as client.test.
    static std::unique_ptr<TSMTPConnection> NewSession(bool bStartTLS = false,
                                                       DWORD dwTimeout = 5000) {
        auto session = std::make_unique<TSMTPConnection>(bStartTLS, 0);
        session->m_dwTimeout = dwTimeout;
        session->SetHeloHostname(u"client.test");
        return session;
    }

    static std::unique_ptr<TSMTPMessage> TextMessage(const std::u16string& sText = u"Hello Bob") {
        auto message = std::make_unique<TSMTPMessage>();
        message->m_From = TSMTPAddress(u"Alice", u"alice@example.org");
        message->AddRecipient(TSMTPAddress(u"Bob", u"bob@example.org"), TSMTPMessage::TO);
        message->m_sSubject = u"Greetings";
        message->AddTextBody(sText);
        return message;
    }

    static bool IsClosed(const TSMTPConnection& session) {
        return session.m_pSocket->m_hSocket == INVALID_SOCKET && !session.m_bConnected;
    }

    // Connect to localhost (the test certificate's name) with the
    // authentication type, then the message when there is one.
    static Steps ConnectAndSend(int nAuthType, TSMTPMessage* message = nullptr,
                                const char16_t* pszUser = u"user",
                                const char16_t* pszPassword = u"pass") {
        return [=](TSMTPConnection& session, int nPort) {
            session.Connect(u"localhost", nAuthType, pszUser, pszPassword, nPort);
            if (message != nullptr)
                session.SendMessageW(*message);
        };
    }

    // Starts the server, runs the steps on a new session, ends the session
    // (its goodbye included) and waits for the server to finish.
    static SessionRun Run(ScriptedSmtpServer& server, const Steps& steps, bool bStartTLS = false,
                          DWORD dwTimeout = 5000) {
#if !defined(_WIN32)
        if (bStartTLS) {
            TrustTestCa();
            server.UseCertificate(TestCertificate("server.pem"), TestCertificate("server.key"));
        }
#endif
        const int nPort = server.Start();
        SessionRun run;
        {
            auto session = NewSession(bStartTLS, dwTimeout);
            run.error = Catch([&] { steps(*session, nPort); });
            run.bClosed = IsClosed(*session);
        }
        EXPECT_TRUE(server.Finish());
        return run;
    }

    CapturingLogProvider m_hostLog;
};
