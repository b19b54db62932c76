// One SMTP submission with AUTH XOAUTH2. libcurl runs the connection phase
// (greeting, EHLO, STARTTLS, the second EHLO, AUTH XOAUTH2) in connect-only
// mode; the mail transaction itself (MAIL FROM, RCPT TO with the DSN NOTIFY
// parameter that libcurl's SMTP cannot send, DATA, QUIT) runs over the same
// connection through curl_easy_send and curl_easy_recv.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "CurlEasy.h"
#include "SmtpReplyReader.h"

namespace oauthrelay {

struct SmtpTarget {
    std::string strHost;
    int nPort = 0;
    bool bStartTLS = false;  // port 465 always speaks TLS from the start
    std::string strUser;     // the mailbox the token logs in as
    std::string strToken;    // OAuth2 access token
};

struct SmtpEnvelope {
    std::string strSender;
    std::vector<std::string> Recipients;
    bool bNotifySuccess = false;
    bool bNotifyFailure = false;
};

class SmtpSubmission {
public:
    SmtpSubmission() = default;
    // Ends the session with QUIT when it is still up; never throws.
    ~SmtpSubmission();
    SmtpSubmission(const SmtpSubmission&) = delete;
    SmtpSubmission& operator=(const SmtpSubmission&) = delete;

    // Throws RelayError; a refused login has the kind LoginRefused.
    void Connect(const SmtpTarget& target);

    // One mail transaction for the complete message, not yet dot-stuffed.
    // The NOTIFY parameter is sent only to servers that announce DSN (RFC 3461
    // forbids it otherwise). Throws RelayError with the server's reply.
    void Transfer(const SmtpEnvelope& envelope, const std::string& message);

    void Quit();

    // Whether the last EHLO reply names this extension (case-insensitive), and
    // its parameters.
    bool HasExtension(std::string_view keyword, std::string* pParameters = nullptr) const;

    // What the RCPT TO command ends with for these flags:
    // " NOTIFY=SUCCESS", " NOTIFY=FAILURE", " NOTIFY=SUCCESS,FAILURE" or "".
    static std::string NotifyParameter(bool bSuccess, bool bFailure);

private:
    CurlEasy m_Curl;
    std::string m_strServer;  // "host:port" for texts
    curl_socket_t m_hSocket = CURL_SOCKET_BAD;
    bool m_bConnected = false;
    SmtpReplyReader m_Reader;
    // Replies as libcurl saw them during the connection phase.
    std::vector<std::string> m_Lines;
    std::string m_strLastReply;
    std::vector<std::string> m_Extensions;

    static size_t OnReplyLine(char* pData, size_t nSize, size_t nCount, void* pContext);
    // The connection is given up: the failure is thrown with its text.
    [[noreturn]] void Drop(const std::string& strText);
    // Waits until the socket can be written (or read), or drops the connection
    // with strTimedOut when the time runs out.
    void WaitForSocket(bool bWrite, int nTimeoutSeconds, const std::string& strTimedOut);
    void SendAll(std::string_view data, int nTimeoutSeconds);
    SmtpReply ReadReply(std::string_view what, int nTimeoutSeconds);
    SmtpReply Command(const std::string& line, std::string_view what, int nTimeoutSeconds);
};

}  // namespace oauthrelay
