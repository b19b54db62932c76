// TSMTPSSLSocket: the TCP socket, sending and receiving in plain and TLS mode,
// readiness and closing. The handshake and the certificate check live in
// TSMTPSSLSocketHandshake.cpp.
#include "transport/TSMTPSSLSocket.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "diag/DiagPrint.h"
#include "diag/FunctionTrace.h"
#include "diag/HostLog.h"
#include "platform/LastError.h"
#include "platform/WideFormat.h"
#include "transport/TSMTPException.h"
#include "transport/TSMTPSSLSocketInternal.h"
#include "vxutil.h"

using namespace platform;

namespace {

// A step's limit until the session sets one.
constexpr DWORD kDefaultTimeoutMs = 60000;

// A socket call that failed for lack of time.
bool TimedOut(int nResult) {
    return nResult == SOCKET_ERROR && WSAGetLastError() == WSAETIMEDOUT;
}

// The record layout of the established context, for sending and receiving.
SecPkgContext_StreamSizes StreamSizes(SecurityFunctionTableW& func, CtxtHandle* context) {
    SecPkgContext_StreamSizes sizes{};
    SECURITY_STATUS scRet = func.QueryContextAttributesW(context, SECPKG_ATTR_STREAM_SIZES, &sizes);
    if (scRet != SEC_E_OK)
        throw TSMTPException(
            3,
            u"Cannot enables a transport application to query a security package for certain "
            u"attributes of a security context. HRESULT = %x",
            static_cast<unsigned>(scRet));
    return sizes;
}

}  // namespace

TSMTPSSLSocket::TSMTPSSLSocket()
    : m_dwProtocol(0),
      m_pCertContext(nullptr),
      m_hMyCertStore(nullptr),
      m_SchannelCred{},
      m_SchCredentials{},
      m_TlsParameters{},
      m_hClientCreds{},
      m_hContext{},
      m_hSecurity(nullptr),
      m_SecurityFunc{},
      m_bSecure(0),
      m_pbPending(nullptr),
      m_cbPending(0),
      m_pbIoBuffer(nullptr),
      m_cbIoBuffer(0),
      m_dwCertFlags(0),
      m_hSocket(INVALID_SOCKET),
      m_cbIoBufferSize(0),
      m_dwStepTimeout(kDefaultTimeoutMs),
      m_bDeadlineSet(false),
      m_strStep(u"waiting for the server") {}

void TSMTPSSLSocket::SetDeadline(DWORD dwTimeoutMs, const std::u16string& strStep) {
    m_dwStepTimeout = dwTimeoutMs;
    m_Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwTimeoutMs);
    m_bDeadlineSet = true;
    m_strStep = strStep;
}

DWORD TSMTPSSLSocket::RemainingMs() const {
    if (!m_bDeadlineSet)
        return m_dwStepTimeout;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          m_Deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0)
        ThrowTimedOut();
    return static_cast<DWORD>(left);
}

void TSMTPSSLSocket::ThrowTimedOut() const {
    SetLastError(WSAETIMEDOUT);
    throw TSMTPException(3, u"Timed out after %u ms: %s.", static_cast<unsigned>(m_dwStepTimeout),
                         m_strStep.c_str());
}

TSMTPSSLSocket::~TSMTPSSLSocket() {
    if (transport::IsHandleSet(m_hClientCreds) && m_SecurityFunc.FreeCredentialsHandle != nullptr)
        m_SecurityFunc.FreeCredentialsHandle(&m_hClientCreds);
    if (transport::IsHandleSet(m_hContext) && m_SecurityFunc.DeleteSecurityContext != nullptr)
        m_SecurityFunc.DeleteSecurityContext(&m_hContext);
    if (m_pCertContext != nullptr)
        CertFreeCertificateContext(m_pCertContext);
    if (m_hMyCertStore != nullptr)
        CertCloseStore(m_hMyCertStore, 0);
    if (m_hSecurity != nullptr)
        FreeLibrary(m_hSecurity);
    std::free(m_pbPending);
    std::free(m_pbIoBuffer);
    // The session closes the socket with Close; one left open by a failed
    // close (or a session that never got that far) must not leak.
    if (m_hSocket != INVALID_SOCKET) {
        DWORD dwError = GetLastError();
        closesocket(m_hSocket);
        SetLastError(dwError);
    }
}

void TSMTPSSLSocket::Create(const char16_t* pszCertName, DWORD dwProtocol, DWORD dwCertFlags) {
    TFunctionTrace trace(u"TSMTPSSLSocket::Create");
    Create();
    m_dwCertFlags = dwCertFlags;
    if (pszCertName != nullptr)
        m_strUserName = pszCertName;
    m_dwProtocol = dwProtocol;
}

void TSMTPSSLSocket::Create() {
    TFunctionTrace trace(u"TSMTPSSLSocket::Create");
    if (m_hSocket != INVALID_SOCKET)
        throw TSMTPException(6, u"Socked alredy created!");
    // A new connection of this object: nothing of the last one's channel is
    // left but its credentials.
    m_bSecure = 0;
    m_cbPending = 0;
    m_cbIoBuffer = 0;
    m_hSocket = platform::socket(AF_INET_, SOCK_STREAM_, 0);
    if (m_hSocket == INVALID_SOCKET)
        throw TSMTPException(3, u"Cannot create socket!");
}

int TSMTPSSLSocket::Connect(const char16_t* pszHost, int nPort) {
    TFunctionTrace trace(u"TSMTPSSLSocket::Connect");
    if (m_hSocket == INVALID_SOCKET)
        throw TSMTPException(6, u"Socked not created!");
    if (pszHost == nullptr || *pszHost == 0)
        throw TSMTPException(3, u"Not allowed host adress!");

    // An address literal (IPv4, or IPv6 with or without brackets) is used as
    // it is; a name stands for every address the resolver gives, of either
    // family, within the step's time.
    const auto port = static_cast<std::uint16_t>(nPort);
    std::vector<SocketAddress> addresses(1);
    if (!ParseAddressLiteral(pszHost, port, &addresses[0])) {
        const int rc = ResolveHost(pszHost, port, RemainingMs(), addresses);
        if (rc == static_cast<int>(WSAETIMEDOUT))
            ThrowTimedOut();
        if (rc != 0)
            throw TSMTPException(3,
                                 u"Cannot retrieve host information corresponding to a host name "
                                 u"from a host database!");
    }
    Connect(addresses.data(), static_cast<int>(addresses.size()));
    // Which of the name's addresses took the connection.
    const std::u16string strNote =
        WFormat(u"Connected to %s (%hs) port %d.", pszHost, m_strPeerAddress.c_str(), nPort);
    trace.Detail(u"%s", strNote.c_str());
    HostLogMessage(HOSTLOG_PROGRESS, strNote.c_str());
    trace.Bind(1);
    return 1;
}

int TSMTPSSLSocket::Connect(const SocketAddress* lpSockAddr, int nSockAddrCount) {
    TFunctionTrace trace(u"TSMTPSSLSocket::Connect");
    if (m_hSocket == INVALID_SOCKET)
        throw TSMTPException(6, u"Socked not created!");
    for (int i = 0; lpSockAddr != nullptr && i < nSockAddrCount; ++i) {
        const std::u16string strAddress =
            WFormat(u"%hs:%d", AddressToText(lpSockAddr[i]).c_str(), lpSockAddr[i].nPort);
        trace.Detail(
            u"Establishes a connection to a specified socket; m_hSocket='%p', lpSockAddr='%p', "
            u"nSockAddrLen='%d', "
            u"lpSockAddr.sa_data='%s', lpSockAddr->sa_family='%d'",
            reinterpret_cast<void*>(m_hSocket), static_cast<const void*>(&lpSockAddr[i]),
            static_cast<int>(sizeof lpSockAddr[i]), strAddress.c_str(), lpSockAddr[i].nFamily);
    }
    // Each attempt has a socket of its address's family; the one that
    // connects takes the place of the socket Create made.
    std::size_t nUsed = 0;
    const SOCKET hConnected =
        lpSockAddr != nullptr && nSockAddrCount > 0
            ? ConnectFirst(lpSockAddr, static_cast<std::size_t>(nSockAddrCount), RemainingMs(),
                           &nUsed)
            : INVALID_SOCKET;
    if (hConnected == INVALID_SOCKET) {
        if (WSAGetLastError() == WSAETIMEDOUT)
            ThrowTimedOut();
        // The attempt's error is the native code of this failure.
        SetLastError(static_cast<DWORD>(WSAGetLastError()));
        throw TSMTPException(3, u"Cannot establish a connection to a specified socket!");
    }
    closesocket(m_hSocket);
    m_hSocket = hConnected;
    m_strPeerAddress = AddressToText(lpSockAddr[nUsed]);
    // Commands and the end of the data are small writes: each must leave at
    // once, not wait for the server to acknowledge the one before.
    setNoDelay(m_hSocket);
    trace.Bind(1);
    return 1;
}

int TSMTPSSLSocket::StartClientHandshake(const char16_t* pszServerName) {
    TFunctionTrace trace(u"TSMTPSSLSocket::StartClientHandshake");
    LoadSecurityLibrary();
    m_bSecure = ClientConnect(pszServerName);
    trace.Bind(static_cast<int>(m_bSecure));
    return m_bSecure;
}

int TSMTPSSLSocket::Send(const void* data, unsigned len) {
    int nResult = 0;
    TFunctionTrace trace(u"TSMTPSSLSocket::Send");
    trace.Bind(&nResult);
    if (dbgout_on() > 1) {
        // The wire trace shows the bytes as text; they carry no terminator.
        std::string text(static_cast<const char*>(data), data != nullptr ? len : 0);
        DiagPrint(u"***S***%hs***(%d)\n", text.c_str(), static_cast<int>(len));
    }

    if (!m_bSecure) {
        if (m_hSocket == INVALID_SOCKET)
            throw TSMTPException(6, u"Socked not created!");
        nResult = send(m_hSocket, data, static_cast<int>(len), RemainingMs());
        if (TimedOut(nResult))
            ThrowTimedOut();
        return nResult;
    }

    const SecPkgContext_StreamSizes sizes = StreamSizes(m_SecurityFunc, &m_hContext);
    SECURITY_STATUS scRet = SEC_E_OK;
    DWORD cbRecord = sizes.cbHeader + sizes.cbMaximumMessage + sizes.cbTrailer;
    transport::MallocPtr pbMessage(static_cast<BYTE*>(std::malloc(cbRecord)));
    if (!pbMessage)
        throw TSMTPException(3, u"Failed to allocate memory.");

    const auto* pbData = static_cast<const BYTE*>(data);
    DWORD dwSendInd = 0;
    while (dwSendInd < len) {
        DWORD cbChunk = std::min<DWORD>(len - dwSendInd, sizes.cbMaximumMessage);
        std::memset(pbMessage.get(), 0, cbRecord);
        std::memcpy(pbMessage.get() + sizes.cbHeader, pbData + dwSendInd, cbChunk);

        SecBuffer Buffers[4];
        Buffers[0] = {sizes.cbHeader, SECBUFFER_STREAM_HEADER, pbMessage.get()};
        Buffers[1] = {cbChunk, SECBUFFER_DATA, pbMessage.get() + sizes.cbHeader};
        Buffers[2] = {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER,
                      pbMessage.get() + sizes.cbHeader + cbChunk};
        Buffers[3] = {0, SECBUFFER_EMPTY, nullptr};
        SecBufferDesc Message{SECBUFFER_VERSION, 4, Buffers};
        scRet = m_SecurityFunc.EncryptMessage(&m_hContext, 0, &Message, 0);
        if (SEC_FAILED(scRet))
            throw TSMTPException(3, u"Failed to encrypt a message.");
        dwSendInd += cbChunk;
        DWORD dwDataToSend = len - dwSendInd;
        trace.Detail(
            u"Encrypt a message; dwSendInd='%d', dwDataToSend ='%d', Buffers[0].pvBuffer='%p', "
            u"Buffers[0].cbBuffer='%d', Buffers[1].pvBuffer='%p', Buffers[1].cbBuffer='%d', "
            u"Buffers[2].pvBuffer='%p', Buffers[2].cbBuffer='%d', scRec='%d'",
            dwSendInd, dwDataToSend, Buffers[0].pvBuffer, Buffers[0].cbBuffer, Buffers[1].pvBuffer,
            Buffers[1].cbBuffer, Buffers[2].pvBuffer, Buffers[2].cbBuffer, scRet);

        if (m_hSocket == INVALID_SOCKET)
            throw TSMTPException(6, u"Socked not created!");
        int cb = static_cast<int>(Buffers[0].cbBuffer + Buffers[1].cbBuffer + Buffers[2].cbBuffer);
        int c = send(m_hSocket, pbMessage.get(), cb, RemainingMs());
        trace.Detail(u"Send data; cb='%d', c='%d'", cb, c);
        if (c == SOCKET_ERROR) {
            // Part of the record may be out: nothing can follow it any more,
            // the close notification included, which would only wait for a
            // peer that stopped reading.
            m_bSecure = 0;
        }
        if (TimedOut(c))
            ThrowTimedOut();
        if (c == SOCKET_ERROR) {
            SetLastError(WSAGetLastError());
            throw TSMTPException(3, u"SOCKET_ERROR.");
        }
    }
    nResult = static_cast<int>(len);
    return nResult;
}

int TSMTPSSLSocket::Receive(void* buf, unsigned len) {
    int nResult = 0;
    TFunctionTrace trace(u"TSMTPSSLSocket::Receive");
    trace.Bind(&nResult);
    if (buf == nullptr)
        throw TSMTPException(3, u"Bad input parameters.");

    if (!m_bSecure) {
        if (m_hSocket == INVALID_SOCKET)
            throw TSMTPException(6, u"Socked not created!");
        nResult = recv(m_hSocket, buf, static_cast<int>(len), RemainingMs());
        if (TimedOut(nResult))
            ThrowTimedOut();
        // A reset ends the stream as the server's close does.
        if (nResult == SOCKET_ERROR && WSAGetLastError() == WSAECONNRESET)
            nResult = 0;
        if (nResult == SOCKET_ERROR)
            throw TSMTPException(3, u"SOCKET_ERROR.");
        return nResult;
    }

    // Decrypted bytes left over from the previous call come first, without
    // touching the socket.
    if (m_cbPending > 0) {
        if (len < m_cbPending) {
            std::memcpy(buf, m_pbPending, len);
            std::memmove(m_pbPending, m_pbPending + len, m_cbPending - len);
            m_cbPending -= len;
            nResult = static_cast<int>(len);
        } else {
            std::memcpy(buf, m_pbPending, m_cbPending);
            nResult = static_cast<int>(m_cbPending);
            std::free(m_pbPending);
            m_pbPending = nullptr;
            m_cbPending = 0;
        }
        return nResult;
    }

    const SecPkgContext_StreamSizes sizes = StreamSizes(m_SecurityFunc, &m_hContext);
    SECURITY_STATUS scRet = SEC_E_OK;
    DWORD cbRecord = sizes.cbHeader + sizes.cbMaximumMessage + sizes.cbTrailer;
    if (m_pbIoBuffer == nullptr)
        GrowIoBuffer(cbRecord);
    DWORD cbResultSize = cbRecord;
    transport::MallocPtr pbResult(static_cast<BYTE*>(std::malloc(cbResultSize)));
    if (!pbResult)
        throw TSMTPException(3, u"Failed to allocate memory.");
    DWORD cbResult = 0;
    if (m_hSocket == INVALID_SOCKET)
        throw TSMTPException(6, u"Socked not created!");

    DWORD cbMissing = 0;
    for (;;) {
        if (m_cbIoBuffer == 0 || scRet == SEC_E_INCOMPLETE_MESSAGE) {
            // Data in hand ends the read: the socket is read only for a call
            // that has none yet, so a server that never pauses cannot make
            // one call hold more than its buffer brought. (A record without
            // data reads on: 0 would tell the session the server had closed.)
            if (cbResult > 0)
                break;
            // A record larger than the buffer: the buffer grows to what it
            // needs, and never reads into no room (a read of 0 bytes would
            // look like the server's close).
            if (m_cbIoBuffer == m_cbIoBufferSize)
                GrowIoBuffer(m_cbIoBuffer + std::max<DWORD>(cbMissing, 1));
            int cb = static_cast<int>(m_cbIoBufferSize - m_cbIoBuffer);
            int c = recv(m_hSocket, m_pbIoBuffer + m_cbIoBuffer, cb, RemainingMs());
            trace.Detail(u"Recive data; cb='%d', c='%d'", cb, c);
            if (TimedOut(c))
                ThrowTimedOut();
            if (c == SOCKET_ERROR && WSAGetLastError() == WSAECONNRESET && m_cbIoBuffer == 0)
                c = 0;
            if (c == SOCKET_ERROR)
                throw TSMTPException(3, u"SOCKET_ERROR.");
            if (c == 0) {
                // A record cut short by the peer's close is an error; a close
                // between records is the end of the stream.
                if (m_cbIoBuffer != 0)
                    throw TSMTPException(3, u"**** Server unexpectedly disconnected\n.");
                break;
            }
            m_cbIoBuffer += static_cast<DWORD>(c);
        }

        SecBuffer Buffers[4];
        Buffers[0] = {m_cbIoBuffer, SECBUFFER_DATA, m_pbIoBuffer};
        Buffers[1] = {0, SECBUFFER_EMPTY, nullptr};
        Buffers[2] = {0, SECBUFFER_EMPTY, nullptr};
        Buffers[3] = {0, SECBUFFER_EMPTY, nullptr};
        SecBufferDesc Message{SECBUFFER_VERSION, 4, Buffers};
        scRet = m_SecurityFunc.DecryptMessage(&m_hContext, &Message, 0, nullptr);
        trace.Detail(
            u"Decrypt a message; Buffers[0].pvBuffer='%p', Buffers[0].cbBuffer='%d', scRec='%d'",
            Buffers[0].pvBuffer, Buffers[0].cbBuffer, scRet);

        if (scRet == SEC_E_INCOMPLETE_MESSAGE) {
            cbMissing = 0;
            for (const SecBuffer& b : Buffers) {
                if (b.BufferType == SECBUFFER_MISSING)
                    cbMissing = b.cbBuffer;
            }
            continue;
        }
        if (scRet == SEC_I_CONTEXT_EXPIRED) {
            m_cbIoBuffer = 0;
            if (GetHostLogProvider() != nullptr) {
                std::u16string text = WFormat(
                    u"The message sender has finished using the connection and has initiated a "
                    u"shutdown. "
                    u"HRESULT = %x\n.",
                    static_cast<unsigned>(scRet));
                if (text.size() > 255)
                    text.resize(255);
                HostLogWrite(HOSTLOG_WARNING, text.c_str(), u"TSMTPSSLSocket::Receive");
            }
            break;
        }
        if (scRet != SEC_E_OK && scRet != SEC_I_RENEGOTIATE) {
            SetLastError(static_cast<DWORD>(scRet));
            throw TSMTPException(3, u"The TLS channel cannot read what the server sent.");
        }

        SecBuffer* pDataBuffer = nullptr;
        SecBuffer* pExtraBuffer = nullptr;
        for (int i = 1; i < 4; ++i) {
            if (pDataBuffer == nullptr && Buffers[i].BufferType == SECBUFFER_DATA)
                pDataBuffer = &Buffers[i];
            if (pExtraBuffer == nullptr && Buffers[i].BufferType == SECBUFFER_EXTRA)
                pExtraBuffer = &Buffers[i];
        }
        if (pDataBuffer != nullptr && pDataBuffer->cbBuffer > 0) {
            if (cbResult + pDataBuffer->cbBuffer > cbResultSize) {
                DWORD cbGrown = cbResultSize + pDataBuffer->cbBuffer;
                auto* pbGrown = static_cast<BYTE*>(std::realloc(pbResult.get(), cbGrown));
                if (pbGrown == nullptr)
                    throw TSMTPException(3, u"Failed to allocate memory.");
                pbResult.release();
                pbResult.reset(pbGrown);
                cbResultSize = cbGrown;
            }
            std::memcpy(pbResult.get() + cbResult, pDataBuffer->pvBuffer, pDataBuffer->cbBuffer);
            cbResult += pDataBuffer->cbBuffer;
        }

        if (scRet == SEC_I_RENEGOTIATE) {
            // A handshake message: a renegotiation, or under TLS 1.3 a session
            // ticket or key update. The extra bytes start with it; they are the
            // handshake loop's input, and what follows the message comes back.
            SecBuffer ExtraData{0, SECBUFFER_EMPTY, nullptr};
            if (pExtraBuffer != nullptr && pExtraBuffer->cbBuffer > 0) {
                ExtraData.pvBuffer = std::malloc(pExtraBuffer->cbBuffer);
                if (ExtraData.pvBuffer == nullptr)
                    throw TSMTPException(3, u"Failed to allocate memory.");
                std::memcpy(ExtraData.pvBuffer, pExtraBuffer->pvBuffer, pExtraBuffer->cbBuffer);
                ExtraData.cbBuffer = pExtraBuffer->cbBuffer;
                ExtraData.BufferType = SECBUFFER_TOKEN;
            }
            m_cbIoBuffer = 0;
            ClientHandshakeLoop(&m_hClientCreds, &m_hContext, false, &ExtraData);
            if (ExtraData.pvBuffer != nullptr) {
                transport::MallocPtr keep(static_cast<BYTE*>(ExtraData.pvBuffer));
                KeepEncryptedInput(keep.get(), ExtraData.cbBuffer);
            }
            // Without data yet the read goes on: a 0 would tell the session
            // that the server had closed the connection.
            if (cbResult == 0)
                continue;
            break;
        }
        // The next record may be here already: it is decrypted before the
        // socket is read again.
        if (pExtraBuffer != nullptr && pExtraBuffer->cbBuffer > 0) {
            std::memmove(m_pbIoBuffer, pExtraBuffer->pvBuffer, pExtraBuffer->cbBuffer);
            m_cbIoBuffer = pExtraBuffer->cbBuffer;
        } else {
            m_cbIoBuffer = 0;
        }
    }

    if (cbResult == 0) {
        nResult = 0;
    } else if (cbResult <= len) {
        std::memcpy(buf, pbResult.get(), cbResult);
        nResult = static_cast<int>(cbResult);
    } else {
        std::memcpy(buf, pbResult.get(), len);
        m_pbPending = static_cast<BYTE*>(std::malloc(cbResult - len));
        if (m_pbPending == nullptr)
            throw TSMTPException(3, u"Failed to allocate memory.");
        std::memcpy(m_pbPending, pbResult.get() + len, cbResult - len);
        m_cbPending = cbResult - len;
        nResult = static_cast<int>(len);
    }
    return nResult;
}

void TSMTPSSLSocket::GrowIoBuffer(DWORD cbNeeded) {
    // The largest record TLS allows: its header, 2^14 bytes and the largest
    // expansion of a cipher.
    constexpr DWORD kLargestRecord = 5 + 16384 + 2048;
    if (m_cbIoBufferSize >= kLargestRecord && cbNeeded > m_cbIoBufferSize) {
        SetLastError(static_cast<DWORD>(SEC_E_ILLEGAL_MESSAGE));
        throw TSMTPException(3, u"The server sent a TLS record larger than TLS allows.");
    }
    const DWORD cbSize = m_pbIoBuffer == nullptr ? cbNeeded : std::min(cbNeeded, kLargestRecord);
    auto* pbGrown = static_cast<BYTE*>(std::realloc(m_pbIoBuffer, cbSize));
    if (pbGrown == nullptr)
        throw TSMTPException(3, u"Failed to allocate memory.");
    m_pbIoBuffer = pbGrown;
    m_cbIoBufferSize = cbSize;
}

void TSMTPSSLSocket::KeepEncryptedInput(const BYTE* pbData, DWORD cbData) {
    if (cbData == 0)
        return;
    if (m_pbIoBuffer == nullptr || m_cbIoBufferSize < cbData) {
        // Large enough for a whole record later on as well.
        SecPkgContext_StreamSizes sizes{};
        DWORD cbRecord = 0;
        if (m_SecurityFunc.QueryContextAttributesW != nullptr &&
            m_SecurityFunc.QueryContextAttributesW(&m_hContext, SECPKG_ATTR_STREAM_SIZES, &sizes) ==
                SEC_E_OK)
            cbRecord = sizes.cbHeader + sizes.cbMaximumMessage + sizes.cbTrailer;
        DWORD cbSize = std::max(cbRecord, cbData);
        auto* pbGrown = static_cast<BYTE*>(std::realloc(m_pbIoBuffer, cbSize));
        if (pbGrown == nullptr)
            throw TSMTPException(3, u"Failed to allocate memory.");
        m_pbIoBuffer = pbGrown;
        m_cbIoBufferSize = cbSize;
    }
    std::memcpy(m_pbIoBuffer, pbData, cbData);
    m_cbIoBuffer = cbData;
}

bool TSMTPSSLSocket::IsReadable(unsigned dwTimeoutMs) {
    bool bReadable = false;
    TFunctionTrace trace(u"TSMTPSSLSocket::IsReadable");
    trace.Bind(&bReadable);
    if (m_hSocket == INVALID_SOCKET)
        throw TSMTPException(6, u"Socked not created!");
    // Input the channel already holds is readable now; waiting on the socket
    // for it could wait for the whole timeout.
    if (m_bSecure && (m_cbPending > 0 || m_cbIoBuffer > 0)) {
        bReadable = true;
        return bReadable;
    }
    int rc = waitReadable(m_hSocket, dwTimeoutMs);
    if (rc == SOCKET_ERROR)
        throw TSMTPException(
            3,
            u"Cannot determine the status of one or more sockets, waiting if necessary, to "
            u"perform synchronous I/O!");
    bReadable = rc == 1;
    return bReadable;
}

void TSMTPSSLSocket::Close() {
    TFunctionTrace trace(u"TSMTPSSLSocket::Close");
    if (m_bSecure)
        ClientDisconnect(&m_hClientCreds, &m_hContext);
    if (m_hSocket == INVALID_SOCKET)
        throw TSMTPException(6, u"Socked not created!");
    if (closesocket(m_hSocket) == SOCKET_ERROR)
        throw TSMTPException(3, u"Cannot close an existing socket!");
    m_hSocket = INVALID_SOCKET;
}
