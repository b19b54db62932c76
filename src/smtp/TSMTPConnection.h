// The client side of one SMTP conversation: greeting, EHLO or HELO, optional
// STARTTLS, authentication, one mail transaction and QUIT. Every failure is
// thrown as TSMTPException; tolerated conditions are warnings to the host log.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/WinTypes.h"

class TSMTPSSLSocket;
class TSMTPMessage;
class TSMTPBodyPart;
class TSMTPAddress;
class TAttachmentFile;

class TSMTPConnection {
public:
    // Authentication types handed to Connect.
    enum AuthType {
        AUTH_NONE = 0,
        CRAM_MD5 = 1,
        AUTH_LOGIN = 2,
        AUTH_PLAIN = 3,
        AUTH_NTLM = 4,
        AUTH_OAUTH2 = 5,
    };

    TSMTPConnection(bool bStartTLS, DWORD dwCertFlags);
    virtual ~TSMTPConnection();
    TSMTPConnection(const TSMTPConnection&) = delete;
    TSMTPConnection& operator=(const TSMTPConnection&) = delete;

    bool Connect(const char16_t* pszHost, int nAuthType, const char16_t* pszUser,
                 const char16_t* pszPassword, int nPort);
    void SetDSNFlags(bool bSuccess, bool bFailure);
    void SendMessageW(TSMTPMessage& message);
    void Disconnect(bool bSendQuit);
    void SetHeloHostname(const std::u16string& sHostname);
    // Whether the server's last EHLO reply lists SMTPUTF8 (RFC 6531), which
    // an address beyond ASCII needs; a HELO session never offers it.
    bool OffersSMTPUTF8() const { return m_bServerSMTPUTF8; }

    // A connection kept for more than one transaction (KeepAliveSeconds).
    // With pipelining on, the envelope goes in one write to a server that
    // lists PIPELINING (RFC 2920); off, every byte is as on a connection
    // used once.
    void SetPipelining(bool bPipelining) { m_bPipelining = bPipelining; }
    // Whether another transaction may follow: the connection is open,
    // nothing broke underneath, every reply kept the rules and the server
    // did not announce its close (421).
    bool CanBeKept() const;
    // Whether the server closed the idle connection: the socket has
    // something to read (the end of the stream, or a 421) when nothing was asked.
    bool IsClosedWhileIdle();
    // The server closed the connection (end of stream, reset, 421) before it
    // accepted a recipient of the transaction: the message can go through a
    // new connection without being delivered twice.
    bool ClosedBeforeAnyRecipient() const;
    // Whether the object holds an open socket.
    bool HasSocket() const;
    // Closes the socket after the conversation broke, whatever state the TLS
    // channel is in; never throws.
    void AbortConnection();

    static std::u16string Auth2String(int nAuthType);
    // HMAC-MD5 (RFC 2104) of the data under the key.
    static void MD5Digest(const unsigned char* pData, int nDataLen, const unsigned char* pKey,
                          int nKeyLen, unsigned char digest[16]);

    TSMTPSSLSocket* m_pSocket;
    BOOL m_bConnected;
    std::u16string m_strHeloHostname;
    // Milliseconds that each step may take as a whole: connecting, the TLS
    // handshake, sending one command or block, awaiting one whole reply.
    // Tests shorten it right after construction.
    DWORD m_dwTimeout;
    bool m_bStartTLS;
    std::u16string m_strHostName;
    DWORD m_dwCertFlags;
    bool m_bNotifySuccess;
    bool m_bNotifyFailure;

private:
    // The name after EHLO and HELO: "auto" found no fully qualified name, so
    // each connection introduces itself by its local address (RFC 5321).
    bool m_bHeloAddressLiteral;
    // The server's last EHLO reply lists DSN (RFC 3461): RCPT TO may carry NOTIFY.
    bool m_bServerDSN;
    // The same for SMTPUTF8.
    bool m_bServerSMTPUTF8;

    void ConnectESMTP(const std::u16string& sHeloName, const char16_t* pszUser,
                      const char16_t* pszPassword, int nAuthType);
    void ConnectSMTP(const std::u16string& sHeloName);
    bool ReadCommandResponse(int nExpectedCode, std::u16string& sResponse);
    // ReadCommandResponse with its own limit for the whole reply.
    bool ReadReply(int nExpectedCode, std::u16string& sResponse, DWORD dwTimeout);
    bool CheckResponse(std::u16string sResponse, int nCode, std::u16string sKeyword,
                       std::u16string sValue);
    // Whether an EHLO reply lists the extension (its keyword in any case).
    static bool OffersExtension(const std::u16string& sReply, const std::u16string& sKeyword);

    void SendRCPTForRecipient(const TSMTPAddress& recipient);
    void SendBodyPart(TSMTPBodyPart* pPart, bool bIsRoot);
    void AuthCramMD5(const char16_t* pszUser, const char16_t* pszPassword);
    void AuthLogin(const char16_t* pszUser, const char16_t* pszPassword);
    void AuthPlain(const char16_t* pszUser, const char16_t* pszPassword);
    bool AuthenticateNTLM();
    // The TLS handshake after the server's go-ahead, within the time limit.
    void StartTLS();

    // A command line: wide text goes out as UTF-8, narrow text unchanged, in one Send.
    void SendCommand(const std::u16string& sCommand);
    void SendCommand(const std::string& sCommand);
    // Bytes in one Send within the time limit; sStep names the step if it runs out.
    void SendBytes(const char* pData, std::size_t nSize, const std::u16string& sStep);
    // A block of the message text, sent now.
    void SendData(const char* pData, std::size_t nSize);
    // Bytes of the message text, gathered into whole records before they go.
    void QueueData(const char* pData, std::size_t nSize);
    // An attachment's Base64 lines, encoded straight into the gather buffer.
    void QueueFileLines(TAttachmentFile& file);
    // One read of at most nCapacity bytes into the call's buffer (64001 bytes),
    // appended to the text; returns the count read.
    int ReceiveChunk(char* pBuffer, int nCapacity, int nExpectedCode, std::u16string& sRead);
    // The text of a 334 reply after its code; a reply without one is a
    // protocol error.
    std::u16string ChallengeText(const std::u16string& sResponse);
    // The challenge bytes of a 334 reply (Base64 after the code).
    std::string DecodeChallenge(const std::u16string& sResponse);
    // The envelope (and the RSET a failed transaction left due) in one
    // write, its replies read in order; throws for the first refusal after
    // every reply is read.
    void SendEnvelopePipelined(const std::u16string& sMailFrom, TSMTPMessage& message, bool bReset);
    // The RSET that a failed transaction leaves due, alone.
    void ResetTransaction();
    // RCPT TO for the recipient, with NOTIFY when asked for and offered.
    std::u16string RcptCommand(const TSMTPAddress& recipient) const;
    // Notes what a reply other than the expected one says of the
    // connection: 421 announces its close, a reply that breaks the rules
    // (or a code that is no refusal) leaves it in doubt.
    void NoteUnexpectedReply(const std::u16string& sReply);

    // The connection failed underneath the conversation (a timeout, a socket
    // or TLS error, the server's close, a reply out of bounds): no QUIT can
    // be exchanged any more.
    bool m_bBroken;
    bool m_bPipelining = false;
    // The server's last EHLO reply lists PIPELINING.
    bool m_bServerPipelining = false;
    // A transaction began and did not end with the server's 250: the next
    // one starts with RSET.
    bool m_bNeedsReset = false;
    // A reply broke the rules, or answered with a code that is no refusal.
    bool m_bInDoubt = false;
    // The server ended the connection: end of stream, reset or 421.
    bool m_bServerClosed = false;
    // Recipients the server accepted in the current transaction.
    int m_nAcceptedRecipients = 0;
    // Replies are read one by one from what arrived for a pipelined group;
    // the text that arrived past the current reply waits here.
    bool m_bSplitReplies = false;
    std::u16string m_strPendingReplies;
    // The verb of the last command sent, for the texts of timeouts.
    std::u16string m_strCommand;
    // Message text gathered for the next write: m_nData bytes of a buffer
    // made for the DATA phase.
    std::unique_ptr<char[]> m_pData;
    std::size_t m_nData = 0;
    // The buffer of every read of a reply (64001 bytes), made at the first.
    std::unique_ptr<char[]> m_pReplyBuffer;
};
