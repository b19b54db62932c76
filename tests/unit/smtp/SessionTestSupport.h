// Shared pieces of the session tests: a session with a short reply timeout,
// the host log captured, catching the session's exception, and counting the
// process's open descriptors to see that nothing leaks.
#pragma once

#include <gtest/gtest.h>

#include <dirent.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "CapturingLogProvider.h"
#include "LogCapture.h"
#include "ScriptedSmtpServer.h"
#include "SmtpTestCertificates.h"
#include "diag/HostLog.h"
#include "mime/TSMTPMessage.h"
#include "smtp/TSMTPConnection.h"
#include "transport/TSMTPException.h"
#include "transport/TSMTPSSLSocket.h"

// Base64 of "Username:" and "Password:", as servers prompt for AUTH LOGIN.
inline constexpr const char* kUsernamePrompt = "334 VXNlcm5hbWU6\r\n";
inline constexpr const char* kPasswordPrompt = "334 UGFzc3dvcmQ6\r\n";

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override { SetHostLogProvider(&m_hostLog); }
    void TearDown() override { SetHostLogProvider(nullptr); }

    // A session that waits at most a few seconds for a reply (the tests'
    // servers answer at once or never) and introduces itself as client.test.
    static std::unique_ptr<TSMTPConnection> NewSession(bool bStartTLS = false,
                                                       DWORD dwCertFlags = 0,
                                                       DWORD dwTimeout = 5000) {
        auto session = std::make_unique<TSMTPConnection>(bStartTLS, dwCertFlags);
        session->m_dwTimeout = dwTimeout;
        session->SetHeloHostname(u"client.test");
        return session;
    }

    // A text message from alice to bob.
    static std::unique_ptr<TSMTPMessage> TextMessage(const std::u16string& sText = u"Hello Bob") {
        auto message = std::make_unique<TSMTPMessage>();
        message->m_From = TSMTPAddress(u"Alice", u"alice@example.org");
        message->AddRecipient(TSMTPAddress(u"Bob", u"bob@example.org"), TSMTPMessage::TO);
        message->m_sSubject = u"Greetings";
        message->AddTextBody(sText);
        return message;
    }

    static bool IsClosed(const TSMTPConnection& session) {
        return session.m_pSocket->m_hSocket == platform::INVALID_SOCKET && !session.m_bConnected;
    }

    CapturingLogProvider m_hostLog;
};

// The exception the call throws; nothing when it throws none.
inline std::optional<TSMTPException> Catch(const std::function<void()>& call) {
    try {
        call();
    } catch (const TSMTPException& e) {
        return e;
    }
    return std::nullopt;
}

// Open descriptors of this process.
inline int OpenDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr)
            ++count;
        closedir(dir);
    }
    return count;
}

// The server side of TLS uses the test server certificate (for localhost); the client trusts the
// test CA through OpenSSL's SSL_CERT_FILE.
inline void UseTestCertificate(ScriptedSmtpServer& server) {
    setenv("SSL_CERT_FILE", SmtpTestCertificates::CaFile().c_str(), 1);
    server.UseCertificate(SmtpTestCertificates::ServerCertFile(),
                          SmtpTestCertificates::ServerKeyFile());
}

inline std::string Utf8(const std::u16string& text) {
    return ToUtf8(text);
}
