// The byte transport under the SMTP session: one TCP socket (IPv4 or IPv6) and, after
// StartClientHandshake, a TLS channel over it through the Schannel security
// package. Every failure is thrown as TSMTPException. No call waits past the
// deadline of the step it belongs to (SetDeadline).
#pragma once

#include <chrono>
#include <string>

#include "platform/Certificates.h"
#include "platform/DynamicLibrary.h"
#include "platform/Sockets.h"
#include "platform/Sspi.h"
#include "platform/WinTypes.h"

class TSMTPSSLSocket {
public:
    TSMTPSSLSocket();
    virtual ~TSMTPSSLSocket();
    TSMTPSSLSocket(const TSMTPSSLSocket&) = delete;
    TSMTPSSLSocket& operator=(const TSMTPSSLSocket&) = delete;

    void Create(const char16_t* pszCertName, DWORD dwProtocol, DWORD dwCertFlags);
    void Create();
    int Connect(const char16_t* pszHost, int nPort);
    // Connects to the first of the addresses that accepts (RFC 8305).
    virtual int Connect(const platform::SocketAddress* lpSockAddr, int nSockAddrCount);
    int StartClientHandshake(const char16_t* pszServerName);
    int Send(const void* data, unsigned len);
    int Receive(void* buf, unsigned len);
    bool IsReadable(unsigned dwTimeoutMs);
    void Close();

    // Starts a step of the conversation: connecting, the handshake, sending
    // or awaiting a reply. Every blocking call from now on ends by
    // dwTimeoutMs from now; strStep names the step in the timeout's text.
    // Until the first step each call has the default limit of its own.
    void SetDeadline(DWORD dwTimeoutMs, const std::u16string& strStep);
    // Milliseconds left in the current step; throws the timeout when none are.
    DWORD RemainingMs() const;
    // The timeout of the current step: kind 3, native code WSAETIMEDOUT.
    [[noreturn]] void ThrowTimedOut() const;
    // The address the connection was made to, as text ("192.0.2.1",
    // "2001:db8::1"); empty before Connect.
    const std::string& PeerAddress() const { return m_strPeerAddress; }

    std::u16string m_strUserName;
    DWORD m_dwProtocol;
    platform::PCCERT_CONTEXT m_pCertContext;
    platform::HCERTSTORE m_hMyCertStore;
    platform::SCHANNEL_CRED m_SchannelCred;
    // The credential record where Schannel takes it (SchannelTakesSchCredentials).
    platform::SCH_CREDENTIALS m_SchCredentials;
    platform::TLS_PARAMETERS m_TlsParameters;
    platform::CredHandle m_hClientCreds;
    platform::CtxtHandle m_hContext;
    HMODULE m_hSecurity;
    platform::SecurityFunctionTableW m_SecurityFunc;
    BOOL m_bSecure;
    BYTE* m_pbPending;
    DWORD m_cbPending;
    BYTE* m_pbIoBuffer;
    DWORD m_cbIoBuffer;
    DWORD m_dwCertFlags;
    platform::SOCKET m_hSocket;

private:
    void LoadSecurityLibrary();
    void ClientCreateCredentials(const char16_t* pszUserName, platform::CredHandle* phCreds);
    int ClientConnect(const char16_t* pszServerName);
    int ClientHandshake(platform::CredHandle* phCreds, const char16_t* pszServerName,
                        platform::CtxtHandle* phContext, platform::SecBuffer* pExtraData);
    // pExtraData: on entry, bytes already received (allocated with malloc,
    // taken over) or none; on return, the bytes past the last handshake message.
    int ClientHandshakeLoop(platform::CredHandle* phCreds, platform::CtxtHandle* phContext,
                            bool fDoInitialRead, platform::SecBuffer* pExtraData);
    DWORD ClientVerifyCertificate(platform::PCCERT_CONTEXT pServerCert,
                                  const char16_t* pszServerName, DWORD dwCertFlags);
    // The server certificate of the context through ClientVerifyCertificate,
    // unless the flags waive every check or it is the certificate already
    // verified on this connection (a renegotiation may bring another).
    void CheckServerCertificate();
    void ClientDisconnect(platform::CredHandle* phCreds, platform::CtxtHandle* phContext);
    // Makes bytes that arrived with the last handshake message the held
    // encrypted input of the next Receive.
    void KeepEncryptedInput(const BYTE* pbData, DWORD cbData);
    // Makes room for cbNeeded bytes of encrypted input, up to the largest
    // record TLS allows; throws for a record larger than that.
    void GrowIoBuffer(DWORD cbNeeded);

    // Capacity of m_pbIoBuffer (a whole record, or more when the handshake
    // left more input than that).
    DWORD m_cbIoBufferSize;

    std::string m_strPeerAddress;
    // The name the certificate must hold, and the certificate verified for it.
    std::u16string m_strServerName;
    std::string m_VerifiedCert;

    DWORD m_dwStepTimeout;
    std::chrono::steady_clock::time_point m_Deadline;
    bool m_bDeadlineSet;
    std::u16string m_strStep;
};
