// Life of a session: construction, the greeting with HELO or EHLO (STARTTLS
// and authentication included) and the end of the conversation.
#include "smtp/TSMTPConnection.h"

#include <algorithm>
#include <cstdlib>

#include "diag/DiagPrint.h"
#include "diag/FunctionTrace.h"
#include "diag/HostLog.h"
#include "platform/ComputerName.h"
#include "platform/Idna.h"
#include "platform/Sockets.h"
#include "platform/WideFormat.h"
#include "transport/TSMTPException.h"
#include "transport/TSMTPSSLSocket.h"
#include "vxutil.h"

namespace {

// The goodbye and the close come after the work is done or has failed: they
// get a short wait, so that a failing send ends within its step's limit plus
// this.
constexpr DWORD QUIT_TIMEOUT_MS = 5000;
// The submission port whose connections are TLS from the start.
constexpr int IMPLICIT_TLS_PORT = 465;

// The limit of each step: a minute, unless SMTPMAIL_TIMEOUT_MS sets another
// (up to ten minutes) for a slow link or a test that must not wait a minute.
DWORD StepTimeout() {
    constexpr DWORD kDefault = 60000;
    constexpr unsigned long kMost = 600000;
    const char* pszValue = std::getenv("SMTPMAIL_TIMEOUT_MS");
    if (pszValue == nullptr || *pszValue == '\0')
        return kDefault;
    char* pszEnd = nullptr;
    const unsigned long nValue = std::strtoul(pszValue, &pszEnd, 10);
    if (*pszEnd != '\0' || nValue == 0 || nValue > kMost)
        return kDefault;
    return static_cast<DWORD>(nValue);
}

void Warn(const char16_t* text) {
    HostLogMessage(HOSTLOG_WARNING, text);
}

void LogException(const TSMTPException& e) {
    DiagPrint(u"%s", e.GetErrorText().c_str());
}

std::u16string Widen(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

// A host name (RFC 1035) with at least two labels, the last one not all
// digits, so that no address passes for one.
bool IsFullyQualified(const std::string& name) {
    const std::size_t nLastDot = name.rfind('.');
    return nLastDot != std::string::npos && platform::IsHostName(Widen(name)) &&
           !std::all_of(name.begin() + nLastDot + 1, name.end(),
                        [](char c) { return c >= '0' && c <= '9'; });
}

// "[192.0.2.7]" or "[IPv6:2001:db8::7]" (RFC 5321, 4.1.3) for the local
// address of the connection; a zone of a link-local address is no part of it.
std::u16string AddressLiteral(const std::string& address) {
    if (address.empty())
        return u"localhost";  // no address at all: still a name, never an empty one
    if (address.find(':') == std::string::npos)
        return u"[" + Widen(address) + u"]";
    if (address.compare(0, 7, "::ffff:") == 0 && address.find('.') != std::string::npos)
        return u"[" + Widen(address.substr(7)) + u"]";
    return u"[IPv6:" + Widen(address.substr(0, address.find('%'))) + u"]";
}

// The replies of a server that does not know EHLO (RFC 5321, 3.2).
bool IsEhloRefused(const std::u16string& sReply) {
    const std::u16string sCode = sReply.substr(0, 3);
    return sCode == u"500" || sCode == u"502" || sCode == u"504";
}

}  // namespace

TSMTPConnection::TSMTPConnection(bool bStartTLS, DWORD dwCertFlags)
    : m_pSocket(nullptr),
      m_bConnected(0),
      m_dwTimeout(StepTimeout()),
      m_bStartTLS(bStartTLS),
      m_dwCertFlags(dwCertFlags),
      m_bNotifySuccess(false),
      m_bNotifyFailure(false),
      m_bHeloAddressLiteral(false),
      m_bServerDSN(false),
      m_bServerSMTPUTF8(false),
      m_bBroken(false) {
    TFunctionTrace trace(u"TSMTPConnection::TSMTPConnection");
    SetHeloHostname(u"auto");
    m_pSocket = new TSMTPSSLSocket();
}

TSMTPConnection::~TSMTPConnection() {
    TFunctionTrace trace(u"TSMTPConnection::~TSMTPConnection");
    // A broken connection makes QUIT fail with a socket error; that must not
    // leave the destructor, and the socket is closed all the same.
    try {
        if (m_bConnected) {
            Disconnect(true);
        } else if (HasSocket()) {
            Disconnect(false);
        }
    } catch (const TSMTPException& e) {
        LogException(e);
        Warn(u"Disconnect failed!");
        AbortConnection();
    } catch (...) {
        Warn(u"Disconnect failed!");
        AbortConnection();
    }
    delete m_pSocket;
    m_pSocket = nullptr;
}

void TSMTPConnection::SetHeloHostname(const std::u16string& sHostname) {
    TFunctionTrace trace(u"TSMTPConnection::SetHeloHostname");
    m_bHeloAddressLiteral = false;
    if (sHostname != u"auto") {
        m_strHeloHostname = sHostname;
        return;
    }
    // RFC 5321 asks for the fully qualified name, and servers refuse a bare
    // one; a machine without one is named by its address on each connection.
    const std::string sName = platform::FullyQualifiedComputerName();
    m_bHeloAddressLiteral = !IsFullyQualified(sName);
    m_strHeloHostname = m_bHeloAddressLiteral ? std::u16string() : Widen(sName);
}

void TSMTPConnection::SetDSNFlags(bool bSuccess, bool bFailure) {
    TFunctionTrace trace(u"TSMTPConnection::SetDSNFlags");
    m_bNotifySuccess = bSuccess;
    m_bNotifyFailure = bFailure;
}

bool TSMTPConnection::HasSocket() const {
    return m_pSocket != nullptr && m_pSocket->m_hSocket != INVALID_SOCKET;
}

bool TSMTPConnection::Connect(const char16_t* pszHost, int nAuthType, const char16_t* pszUser,
                              const char16_t* pszPassword, int nPort) {
    bool bResult = false;
    TFunctionTrace trace(u"TSMTPConnection::Connect");
    trace.Bind(&bResult);

    if (pszHost == nullptr) {
        Warn(u"HostName not specified!");
    }
    if (m_bConnected) {
        Warn(u"Already connected!");
    }
    try {
        m_bBroken = false;
        m_bServerDSN = false;
        m_bServerSMTPUTF8 = false;
        m_bServerPipelining = false;
        m_bNeedsReset = false;
        m_bInDoubt = false;
        m_bServerClosed = false;
        m_strPendingReplies.clear();
        m_strCommand.clear();
        m_pSocket->Create(nullptr, 0, m_dwCertFlags);
        if (!HasSocket()) {
            throw TSMTPException(3, u"Socked not created!");
        }
        m_pSocket->SetDeadline(m_dwTimeout, platform::WFormat(u"connecting to %s port %d",
                                                              pszHost ? pszHost : u"", nPort));
        if (m_pSocket->Connect(pszHost, nPort) == 0) {
            throw TSMTPException(3, u"Cannot connect to %s on port %d", pszHost ? pszHost : u"",
                                 nPort);
        }
        m_bConnected = 1;
        m_strHostName = pszHost ? pszHost : u"";
        // An IPv6 literal in brackets: the certificate names the address itself.
        if (m_strHostName.size() > 2 && m_strHostName.front() == u'[' &&
            m_strHostName.back() == u']')
            m_strHostName = m_strHostName.substr(1, m_strHostName.size() - 2);
        if (m_bHeloAddressLiteral) {
            m_strHeloHostname = AddressLiteral(platform::LocalAddressText(m_pSocket->m_hSocket));
        }
        // Port 465 is submission over TLS from the first byte (RFC 8314): the
        // handshake, with the same certificate check, comes before the greeting.
        if (nPort == IMPLICIT_TLS_PORT) {
            StartTLS();
        }

        std::u16string sResponse;
        if (!ReadCommandResponse(220, sResponse)) {
            throw TSMTPException(
                3, u"Cannot establish a connection between the client and the server.");
        }
        // Every session greets with EHLO (RFC 5321, 3.2), so that one
        // without a login gets the extensions (DSN, STARTTLS) too.
        ConnectESMTP(m_strHeloHostname, pszUser, pszPassword, nAuthType);
    } catch (const TSMTPException& e) {
        LogException(e);
        if (m_bConnected) {
            // Say goodbye; when even that breaks, the original failure is the
            // one the caller needs to see.
            try {
                Disconnect(true);
            } catch (const TSMTPException& eQuit) {
                LogException(eQuit);
                AbortConnection();
            }
        } else if (HasSocket()) {
            // The TCP connect failed: nobody else would close this socket.
            AbortConnection();
        }
        throw;
    }
    bResult = true;
    return bResult;
}

void TSMTPConnection::ConnectSMTP(const std::u16string& sHeloName) {
    TFunctionTrace trace(u"TSMTPConnection::ConnectSMTP");
    try {
        if (!HasSocket()) {
            throw TSMTPException(3, u"Socked not created!");
        }
        SendCommand(u"HELO " + sHeloName + u"\r\n");
        std::u16string sResponse;
        if (!ReadCommandResponse(250, sResponse)) {
            throw TSMTPException(3, u"Unexpected HELO response. Last Response : %s",
                                 sResponse.c_str());
        }
    } catch (const TSMTPException& e) {
        LogException(e);
        throw;
    }
}

void TSMTPConnection::ConnectESMTP(const std::u16string& sHeloName, const char16_t* pszUser,
                                   const char16_t* pszPassword, int nAuthType) {
    TFunctionTrace trace(u"TSMTPConnection::ConnectESMTP");
    try {
        // Without a login there is no user or password to miss.
        if (nAuthType != AUTH_NONE && pszUser == nullptr) {
            Warn(u"User not specified!");
        }
        if (nAuthType != AUTH_NONE && pszPassword == nullptr) {
            Warn(u"Password not specified!");
        }

        if (!HasSocket()) {
            throw TSMTPException(3, u"Socked not created!");
        }
        const std::u16string sEhlo = u"EHLO " + sHeloName + u"\r\n";
        SendCommand(sEhlo);
        // One text collects the EHLO, STARTTLS and second EHLO replies; each
        // code test looks at all of it.
        std::u16string sResponse;
        if (!ReadCommandResponse(250, sResponse)) {
            // A server without extensions: without a login, HELO does, as
            // long as nobody asked for TLS, which only EHLO can offer.
            if (nAuthType != AUTH_NONE || !IsEhloRefused(sResponse)) {
                throw TSMTPException(3, u"Unexpected EHLO response. Last Response : %s\n",
                                     sResponse.c_str());
            }
            if (m_bStartTLS && !m_pSocket->m_bSecure) {
                throw TSMTPException(3, u"TLS is not supported by current SMTP server.");
            }
            ConnectSMTP(sHeloName);
            return;
        }
        std::size_t nLastEhlo = 0;  // where the reply to the last EHLO starts

        // The mechanism must be among the announced ones. A server that
        // announces no AUTH at all gets its chance to accept the login anyway.
        if (nAuthType != AUTH_NONE &&
            !CheckResponse(sResponse, 250, u"AUTH", Auth2String(nAuthType))) {
            std::u16string sLower = sResponse;
            to_lower(sLower);
            if (sLower.find(u"250 auth") != std::u16string::npos ||
                sLower.find(u"250-auth") != std::u16string::npos) {
                throw TSMTPException(
                    3, u"This authentication type is not supported by current SMTP server.");
            }
        }

        // Over implicit TLS the channel is secure already: never STARTTLS.
        if (m_bStartTLS && !m_pSocket->m_bSecure) {
            if (!CheckResponse(sResponse, 250, u"STARTTLS", u"") &&
                !CheckResponse(sResponse, 250, u"TLS", u"")) {
                throw TSMTPException(3, u"TLS is not supported by current SMTP server.");
            }
            SendCommand(std::u16string(u"STARTTLS\r\n"));
            if (!ReadCommandResponse(220, sResponse)) {
                throw TSMTPException(3, u"SMTP server not ready to start TLS negotiation.");
            }
            StartTLS();
            SendCommand(sEhlo);
            nLastEhlo = sResponse.size();
            if (!ReadCommandResponse(250, sResponse)) {
                throw TSMTPException(3, u"Unexpected EHLO response. Last Response : %s\n",
                                     sResponse.c_str());
            }
        }
        m_bServerDSN = OffersExtension(sResponse.substr(nLastEhlo), u"DSN");
        m_bServerSMTPUTF8 = OffersExtension(sResponse.substr(nLastEhlo), u"SMTPUTF8");
        m_bServerPipelining = OffersExtension(sResponse.substr(nLastEhlo), u"PIPELINING");

        switch (nAuthType) {
            case AUTH_NONE:
                break;
            case CRAM_MD5:
                AuthCramMD5(pszUser, pszPassword);
                break;
            case AUTH_LOGIN:
                AuthLogin(pszUser, pszPassword);
                break;
            case AUTH_PLAIN:
                AuthPlain(pszUser, pszPassword);
                break;
            case AUTH_NTLM:
                if (!AuthenticateNTLM()) {
                    throw TSMTPException(3, u"NTLMAuthenticate failed with code = %s", u"false");
                }
                break;
            case AUTH_OAUTH2:
                // The message goes out through the OAuth2 relay; no login here.
                break;
            default:
                throw TSMTPException(3, u"Unrecognized authentication type.");
        }
    } catch (const TSMTPException& e) {
        LogException(e);
        throw;
    }
}

void TSMTPConnection::StartTLS() {
    m_pSocket->SetDeadline(m_dwTimeout, u"the TLS handshake");
    try {
        m_pSocket->StartClientHandshake(m_strHostName.c_str());
    } catch (const TSMTPException&) {
        // Whatever the channel holds now, it is no longer plain SMTP.
        m_bBroken = true;
        throw;
    }
}

bool TSMTPConnection::CanBeKept() const {
    return m_bConnected && HasSocket() && !m_bBroken && !m_bInDoubt && !m_bServerClosed;
}

bool TSMTPConnection::IsClosedWhileIdle() {
    if (!HasSocket())
        return true;
    // A server says nothing unasked: whatever is there to read ends the connection.
    try {
        return m_pSocket->IsReadable(0);
    } catch (const TSMTPException& e) {
        LogException(e);
        return true;
    }
}

bool TSMTPConnection::ClosedBeforeAnyRecipient() const {
    return m_bServerClosed && m_nAcceptedRecipients == 0;
}

void TSMTPConnection::Disconnect(bool bSendQuit) {
    TFunctionTrace trace(u"TSMTPConnection::Disconnect");
    const DWORD dwShortTimeout = std::min(m_dwTimeout, QUIT_TIMEOUT_MS);
    if (m_bConnected) {
        if (bSendQuit && !m_bBroken) {
            SendCommand(std::string("QUIT\r\n"));
            std::u16string sResponse;
            if (!ReadReply(221, sResponse, dwShortTimeout)) {
                Warn(u"Disconnect failed!");
            }
        }
        m_bConnected = 0;
    }
    // Nothing more passes a broken channel, its close notification included.
    if (m_bBroken) {
        m_pSocket->m_bSecure = 0;
    }
    m_pSocket->SetDeadline(dwShortTimeout, u"closing the connection");
    m_pSocket->Close();
}

void TSMTPConnection::AbortConnection() {
    m_bConnected = 0;
    if (!HasSocket()) {
        return;
    }
    m_pSocket->SetDeadline(std::min(m_dwTimeout, QUIT_TIMEOUT_MS), u"closing the connection");
    try {
        m_pSocket->Close();
        return;
    } catch (const TSMTPException& e) {
        LogException(e);
    }
    // Closing the TLS channel failed (its close notification could not go
    // out); the TCP socket still has to go.
    if (HasSocket()) {
        m_pSocket->m_bSecure = 0;
        try {
            m_pSocket->Close();
        } catch (const TSMTPException& e) {
            LogException(e);
        }
    }
}
