#include "SmtpSubmission.h"

#include <cstdlib>

#include "MimeEncoding.h"
#include "RelayError.h"
#include "RelayPlatform.h"
#include "TextConvert.h"

namespace oauthrelay {

namespace {

// RFC 5321 section 4.5.3.2 asks for minutes; one minute of silence per step
// and ten for the final reply, which may wait on content scanning.
constexpr int kReplyTimeout = 60;
constexpr int kEndOfDataTimeout = 600;
constexpr int kQuitTimeout = 10;
constexpr size_t kChunk = 64 * 1024;

std::string UrlHost(const std::string& host) {
    return host.find(':') != std::string::npos && host.front() != '[' ? "[" + host + "]" : host;
}

}  // namespace

SmtpSubmission::~SmtpSubmission() {
    Quit();
}

size_t SmtpSubmission::OnReplyLine(char* pData, size_t nSize, size_t nCount, void* pContext) {
    auto* self = static_cast<SmtpSubmission*>(pContext);
    const size_t n = nSize * nCount;
    try {
        std::string line(pData, n);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        self->m_Lines.push_back(line);
        if (line.size() > 3 && line[3] == '-') {
            return n;
        }
        // A reply is complete.
        std::string text;
        for (const std::string& l : self->m_Lines) {
            text += (text.empty() ? "" : " ") + l;
        }
        self->m_strLastReply = text;
        if (line.compare(0, 3, "250") == 0) {
            // The latest EHLO reply; its first line only names the server.
            self->m_Extensions.assign(self->m_Lines.begin() + 1, self->m_Lines.end());
            for (std::string& e : self->m_Extensions) {
                e = e.size() > 4 ? e.substr(4) : std::string();
            }
        }
        self->m_Lines.clear();
    } catch (...) {
        return 0;  // out of memory: libcurl ends the transfer
    }
    return n;
}

bool SmtpSubmission::HasExtension(std::string_view keyword, std::string* pParameters) const {
    const std::string wanted = AsciiLower(keyword);
    for (const std::string& line : m_Extensions) {
        const size_t blank = line.find(' ');
        if (AsciiLower(line.substr(0, blank)) == wanted) {
            if (pParameters != nullptr) {
                *pParameters = blank == std::string::npos ? std::string() : line.substr(blank + 1);
            }
            return true;
        }
    }
    return false;
}

std::string SmtpSubmission::NotifyParameter(bool bSuccess, bool bFailure) {
    if (!bSuccess && !bFailure) {
        return {};
    }
    std::string out = " NOTIFY=";
    if (bSuccess) {
        out += "SUCCESS";
    }
    if (bFailure) {
        out += bSuccess ? ",FAILURE" : "FAILURE";
    }
    return out;
}

void SmtpSubmission::Connect(const SmtpTarget& target) {
    m_strServer = target.strHost + ":" + std::to_string(target.nPort);
    const bool implicitTls = target.nPort == 465;
    const std::string url = std::string(implicitTls ? "smtps://" : "smtp://") +
                            UrlHost(target.strHost) + ":" + std::to_string(target.nPort);
    CURL* h = m_Curl.Handle();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(h, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(
        h, CURLOPT_USE_SSL,
        static_cast<long>(target.bStartTLS || implicitTls ? CURLUSESSL_ALL : CURLUSESSL_NONE));
    curl_easy_setopt(h, CURLOPT_USERNAME, target.strUser.c_str());
    curl_easy_setopt(h, CURLOPT_XOAUTH2_BEARER, target.strToken.c_str());
    // XOAUTH2 only: libcurl would otherwise prefer OAUTHBEARER when offered.
    curl_easy_setopt(h, CURLOPT_LOGIN_OPTIONS, "AUTH=XOAUTH2");
    curl_easy_setopt(h, CURLOPT_SASL_IR, 1L);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, OnReplyLine);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(h, CURLOPT_SERVER_RESPONSE_TIMEOUT, static_cast<long>(kReplyTimeout));
    curl_easy_setopt(h, CURLOPT_TIMEOUT, 180L);
    ApplyTrustSettings(h);

    const CURLcode result = curl_easy_perform(h);
    if (result != CURLE_OK) {
        const std::string said =
            m_strLastReply.empty() ? std::string() : "; the server's last reply: " + m_strLastReply;
        switch (result) {
            case CURLE_COULDNT_RESOLVE_HOST:
            case CURLE_COULDNT_CONNECT:
            case CURLE_OPERATION_TIMEDOUT:
                throw RelayError("Could not connect to the mail server " + m_strServer + ": " +
                                 m_Curl.Describe(result) + said);
            case CURLE_USE_SSL_FAILED:
                throw RelayError("The mail server " + m_strServer +
                                 " does not offer STARTTLS: " + m_Curl.Describe(result) + said);
            case CURLE_SSL_CONNECT_ERROR:
            case CURLE_PEER_FAILED_VERIFICATION:
            case CURLE_SSL_CACERT_BADFILE:
            case CURLE_SSL_CERTPROBLEM:
                throw RelayError("TLS with the mail server " + m_strServer +
                                 " failed: " + m_Curl.Describe(result));
            case CURLE_LOGIN_DENIED: {
                std::string auth;
                if (!HasExtension("AUTH", &auth) ||
                    (" " + AsciiLower(auth) + " ").find(" xoauth2 ") == std::string::npos) {
                    throw RelayError("The mail server " + m_strServer +
                                     " does not offer AUTH XOAUTH2" +
                                     (auth.empty() ? std::string(" (it offers no AUTH at all")
                                                   : " (it offers AUTH " + auth) +
                                     (target.bStartTLS || implicitTls
                                          ? ")."
                                          : "; servers often offer it only after STARTTLS)."));
                }
                throw RelayError(
                    "The mail server " + m_strServer + " refused the XOAUTH2 login of " +
                        target.strUser + ": " +
                        (m_strLastReply.empty() ? m_Curl.Describe(result) : m_strLastReply),
                    RelayFailure::LoginRefused);
            }
            default:
                throw RelayError("The connection to the mail server " + m_strServer +
                                 " failed: " + m_Curl.Describe(result) + said);
        }
    }
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(h, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK ||
        socket == CURL_SOCKET_BAD) {
        throw RelayError("libcurl left no open connection to the mail server " + m_strServer + ".");
    }
    m_hSocket = socket;
    m_bConnected = true;
}

void SmtpSubmission::Drop(const std::string& strText) {
    m_bConnected = false;
    throw RelayError(strText);
}

void SmtpSubmission::WaitForSocket(bool bWrite, int nTimeoutSeconds,
                                   const std::string& strTimedOut) {
    const SocketWait wait = oauthrelay::WaitForSocket(m_hSocket, bWrite, nTimeoutSeconds * 1000);
    if (wait == SocketWait::TimedOut)
        Drop(strTimedOut);
    if (wait == SocketWait::Failed)
        Drop("Waiting on the connection to the mail server " + m_strServer + " failed.");
}

void SmtpSubmission::SendAll(std::string_view data, int nTimeoutSeconds) {
    size_t done = 0;
    while (done < data.size()) {
        size_t sent = 0;
        const CURLcode result =
            curl_easy_send(m_Curl.Handle(), data.data() + done, data.size() - done, &sent);
        if (result == CURLE_AGAIN) {
            WaitForSocket(true, nTimeoutSeconds,
                          "The mail server " + m_strServer + " took no data for " +
                              std::to_string(nTimeoutSeconds) + " seconds.");
            continue;
        }
        if (result != CURLE_OK) {
            Drop("Sending to the mail server " + m_strServer +
                 " failed: " + m_Curl.Describe(result));
        }
        done += sent;
    }
}

SmtpReply SmtpSubmission::ReadReply(std::string_view what, int nTimeoutSeconds) {
    SmtpReply reply;
    char buffer[16 * 1024];
    while (!m_Reader.Next(reply)) {
        size_t received = 0;
        const CURLcode result = curl_easy_recv(m_Curl.Handle(), buffer, sizeof buffer, &received);
        if (result == CURLE_AGAIN) {
            WaitForSocket(false, nTimeoutSeconds,
                          "The mail server " + m_strServer + " sent no " + std::string(what) +
                              " within " + std::to_string(nTimeoutSeconds) + " seconds.");
            continue;
        }
        if (result != CURLE_OK) {
            Drop("Receiving " + std::string(what) + " from the mail server " + m_strServer +
                 " failed: " + m_Curl.Describe(result));
        }
        if (received == 0) {
            Drop("The mail server " + m_strServer + " closed the connection instead of sending " +
                 std::string(what) + ".");
        }
        try {
            m_Reader.Feed(std::string_view(buffer, received));
        } catch (const RelayError&) {
            m_bConnected = false;
            throw;
        }
    }
    return reply;
}

SmtpReply SmtpSubmission::Command(const std::string& line, std::string_view what,
                                  int nTimeoutSeconds) {
    SendAll(line + "\r\n", nTimeoutSeconds);
    return ReadReply(what, nTimeoutSeconds);
}

void SmtpSubmission::Transfer(const SmtpEnvelope& envelope, const std::string& message) {
    if (!m_bConnected) {
        throw RelayError("There is no connection to the mail server.");
    }
    std::string mailFrom = "MAIL FROM:<" + envelope.strSender + ">";
    // An address beyond ASCII (its local part: domains come as A-labels) needs
    // SMTPUTF8 (RFC 6531), and the transaction says so.
    std::string international = IsAscii(envelope.strSender) ? "" : envelope.strSender;
    for (const std::string& recipient : envelope.Recipients) {
        if (international.empty() && !IsAscii(recipient)) {
            international = recipient;
        }
    }
    if (!international.empty()) {
        if (!HasExtension("SMTPUTF8")) {
            throw RelayError("The address <" + international +
                             "> cannot be sent: the mail server " + m_strServer +
                             " does not accept internationalized addresses.");
        }
        mailFrom += " SMTPUTF8";
    }
    std::string sizeLimit;
    if (HasExtension("SIZE", &sizeLimit)) {
        const unsigned long long limit = std::strtoull(sizeLimit.c_str(), nullptr, 10);
        if (limit != 0 && message.size() > limit) {
            throw RelayError("The message (" + std::to_string(message.size()) +
                             " bytes) is larger than the mail server " + m_strServer +
                             " accepts (" + std::to_string(limit) + " bytes).");
        }
        mailFrom += " SIZE=" + std::to_string(message.size());
    }
    SmtpReply reply = Command(mailFrom, "a reply to MAIL FROM", kReplyTimeout);
    if (!reply.IsPositive()) {
        throw RelayError("The mail server " + m_strServer + " refused the sender <" +
                         envelope.strSender + ">: " + reply.Text());
    }

    const std::string notify =
        HasExtension("DSN") ? NotifyParameter(envelope.bNotifySuccess, envelope.bNotifyFailure)
                            : std::string();
    for (const std::string& recipient : envelope.Recipients) {
        reply =
            Command("RCPT TO:<" + recipient + ">" + notify, "a reply to RCPT TO", kReplyTimeout);
        if (!reply.IsPositive()) {
            throw RelayError("The mail server " + m_strServer + " refused the recipient <" +
                             recipient + ">: " + reply.Text());
        }
    }

    reply = Command("DATA", "a reply to DATA", kReplyTimeout);
    if (reply.nCode != 354) {
        throw RelayError("The mail server " + m_strServer +
                         " did not accept the message content (DATA): " + reply.Text());
    }
    DotStuffer stuffer;
    std::string chunk;
    for (size_t pos = 0; pos < message.size(); pos += kChunk) {
        chunk.clear();
        stuffer.Append(chunk, std::string_view(message).substr(pos, kChunk));
        SendAll(chunk, kReplyTimeout);
    }
    // The end-of-data line must start a line of its own.
    const bool endsWithLine =
        message.size() >= 2 && message.compare(message.size() - 2, 2, "\r\n") == 0;
    SendAll(endsWithLine ? ".\r\n" : "\r\n.\r\n", kReplyTimeout);
    reply = ReadReply("a reply to the end of the message", kEndOfDataTimeout);
    if (!reply.IsPositive()) {
        throw RelayError("The mail server " + m_strServer +
                         " refused the message: " + reply.Text());
    }
}

void SmtpSubmission::Quit() {
    if (!m_bConnected) {
        return;
    }
    try {
        Command("QUIT", "a reply to QUIT", kQuitTimeout);
    } catch (...) {
        // The message is through or already failed; a lost goodbye changes nothing.
    }
    m_bConnected = false;
}

}  // namespace oauthrelay
