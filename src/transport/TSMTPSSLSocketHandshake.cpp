// TSMTPSSLSocket: loading the security package, credentials, the TLS
// handshake, the server certificate check and the close of the channel.
#include <cstdlib>
#include <cstring>
#include <string>

#include "diag/DiagPrint.h"
#include "diag/FunctionTrace.h"
#include "platform/LastError.h"
#include "transport/TSMTPException.h"
#include "transport/TSMTPSSLSocket.h"
#include "transport/TSMTPSSLSocketInternal.h"
#include "vxstring.h"
#include "vxutil.h"

using namespace platform;
using transport::IO_BUFFER_SIZE;
using transport::kContextRequest;

namespace {

// Frees a package-allocated output token when the scope ends, however it ends.
class TokenGuard {
public:
    TokenGuard(const SecurityFunctionTableW& table, SecBuffer& buffer)
        : m_table(table), m_buffer(buffer) {}
    ~TokenGuard() { Free(); }
    TokenGuard(const TokenGuard&) = delete;
    TokenGuard& operator=(const TokenGuard&) = delete;
    void Free() {
        if (m_buffer.pvBuffer != nullptr)
            m_table.FreeContextBuffer(m_buffer.pvBuffer);
        m_buffer.pvBuffer = nullptr;
    }

private:
    const SecurityFunctionTableW& m_table;
    SecBuffer& m_buffer;
};

}  // namespace

void TSMTPSSLSocket::LoadSecurityLibrary() {
    TFunctionTrace trace(u"TSMTPSSLSocket::LoadSecurityLibrary");
    if (m_hSecurity != nullptr) {
        // A handshake on a reused object: one reference to the library is enough.
        FreeLibrary(m_hSecurity);
        m_hSecurity = nullptr;
    }
    m_hSecurity = LoadLibraryW(u"SCHANNEL.DLL");
    if (m_hSecurity == nullptr)
        throw TSMTPException(3, u"Load se seciurity library SCHANNEL.DLL failed!.");
    auto pInitSecurityInterface = reinterpret_cast<INIT_SECURITY_INTERFACE_W>(
        reinterpret_cast<void*>(GetProcAddress(m_hSecurity, "InitSecurityInterfaceW")));
    if (pInitSecurityInterface == nullptr)
        throw TSMTPException(6, u"GetProcAddress(m_hSecurity,\"InitSecurityInterface\") failed");
    SecurityFunctionTableW* pSecurityFunc = pInitSecurityInterface();
    if (pSecurityFunc == nullptr)
        throw TSMTPException(6, u"Cannot init seciurity function.");
    // The version word and the 29 entries.
    std::memcpy(&m_SecurityFunc, pSecurityFunc, sizeof m_SecurityFunc);
}

void TSMTPSSLSocket::ClientCreateCredentials(const char16_t* pszUserName, CredHandle* phCreds) {
    TFunctionTrace trace(u"TSMTPSSLSocket::ClientCreateCredentials");
    if (m_hMyCertStore == nullptr) {
        m_hMyCertStore = CertOpenSystemStoreW(0, u"MY");
        if (m_hMyCertStore == nullptr)
            m_hMyCertStore =
                CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                              CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG, u"MY");
        if (m_hMyCertStore == nullptr)
            throw TSMTPException(3, u"Cannot open common system certificate store!");
        Logging::WriteLog(nullptr, DIAG_LOG_TYPE, DIAG_LOG_LEVEL,
                          u"Common system certificate store opened successfully.", nullptr,
                          trace.Function());
    }

    if (pszUserName != nullptr && *pszUserName != 0) {
        trace.Detail(u"Oppening common system certificate store; pszUserName='%s'", pszUserName);
        std::string strName;
        strWideToAnsi(strName, pszUserName, -1, CP_ACP, false);
        CERT_RDN_ATTR cra{};
        cra.pszObjId = szOID_COMMON_NAME;
        cra.dwValueType = CERT_RDN_ANY_TYPE;
        cra.Value.pbData = reinterpret_cast<BYTE*>(strName.data());
        cra.Value.cbData = static_cast<DWORD>(strName.size() + 1);
        CERT_RDN rdn{1, &cra};
        if (m_pCertContext != nullptr) {
            CertFreeCertificateContext(m_pCertContext);
            m_pCertContext = nullptr;
        }
        m_pCertContext = CertFindCertificateInStore(m_hMyCertStore, X509_ASN_ENCODING, 0,
                                                    CERT_FIND_SUBJECT_ATTR, &rdn, nullptr);
        if (m_pCertContext == nullptr)
            throw TSMTPException(3, u"Cannot open common system certificate store!");
        trace.Detail(u"Common system certificate store opened successfully; pszUserName='%s'",
                     pszUserName);
    }

    m_SchannelCred = SCHANNEL_CRED{};
    m_SchannelCred.dwVersion = SCHANNEL_CRED_VERSION;
    if (m_pCertContext != nullptr) {
        m_SchannelCred.cCreds = 1;
        m_SchannelCred.paCred = &m_pCertContext;
    }
    m_SchannelCred.grbitEnabledProtocols = m_dwProtocol;
    m_SchannelCred.dwFlags = SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION;

    if (transport::IsHandleSet(*phCreds)) {
        // Credentials of an earlier handshake on this object.
        m_SecurityFunc.FreeCredentialsHandle(phCreds);
        *phCreds = CredHandle{};
    }
    TimeStamp tsExpiry{};
    SECURITY_STATUS status = m_SecurityFunc.AcquireCredentialsHandleW(
        nullptr, SspiText(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr, &m_SchannelCred, nullptr,
        nullptr, phCreds, &tsExpiry);
    if (status != SEC_E_OK)
        throw TSMTPException(
            3,
            u"Cannot acquire a handle to preexisting credentials associated with the user on "
            u"whose behalf the call is made!");
}

int TSMTPSSLSocket::ClientConnect(const char16_t* pszServerName) {
    TFunctionTrace trace(u"TSMTPSSLSocket::ClientConnect");
    ClientCreateCredentials(m_strUserName.c_str(), &m_hClientCreds);
    if (transport::IsHandleSet(m_hContext)) {
        // The context of an earlier handshake on this object.
        m_SecurityFunc.DeleteSecurityContext(&m_hContext);
        m_hContext = CtxtHandle{};
    }
    SecBuffer ExtraData{0, SECBUFFER_EMPTY, nullptr};
    ClientHandshake(&m_hClientCreds, pszServerName, &m_hContext, &ExtraData);

    if ((m_dwCertFlags & transport::kCertFlagNoCheck) == 0) {
        PCCERT_CONTEXT pRemoteCertContext = nullptr;
        SECURITY_STATUS status = m_SecurityFunc.QueryContextAttributesW(
            &m_hContext, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &pRemoteCertContext);
        if (status != SEC_E_OK)
            throw TSMTPException(
                3,
                u"Cannot enables a transport application to query a security package for certain "
                u"attributes of a security context. HRESULT = %x",
                static_cast<unsigned>(status));
        struct CertGuard {
            PCCERT_CONTEXT p;
            ~CertGuard() { CertFreeCertificateContext(p); }
        } guard{pRemoteCertContext};
        ClientVerifyCertificate(pRemoteCertContext, pszServerName, m_dwCertFlags);
    }
    trace.Bind(1);
    return 1;
}

int TSMTPSSLSocket::ClientHandshake(CredHandle* phCreds, const char16_t* pszServerName,
                                    CtxtHandle* phContext, SecBuffer* pExtraData) {
    TFunctionTrace trace(u"TSMTPSSLSocket::ClientHandshake");
    trace.Detail(
        u"Starting client handshake; hCreds='%p', pszServerName='%s', phContext='%p', "
        u"pExtraData='%p'",
        static_cast<void*>(phCreds), pszServerName, static_cast<void*>(phContext),
        static_cast<void*>(pExtraData));
    if (phCreds == nullptr || pszServerName == nullptr || phContext == nullptr ||
        pExtraData == nullptr)
        throw TSMTPException(3, u"Bad input parameters.");

    SecBuffer OutBuffers[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc OutBuffer{SECBUFFER_VERSION, 1, OutBuffers};
    TokenGuard token(m_SecurityFunc, OutBuffers[0]);
    ULONG dwSSPIOutFlags = 0;
    TimeStamp tsExpiry{};
    SECURITY_STATUS scRet = m_SecurityFunc.InitializeSecurityContextW(
        phCreds, nullptr, SspiText(pszServerName), kContextRequest, 0, SECURITY_NATIVE_DREP,
        nullptr, 0, phContext, &OutBuffer, &dwSSPIOutFlags, &tsExpiry);
    if (scRet != SEC_I_CONTINUE_NEEDED)
        throw TSMTPException(
            3,
            u"Cannot establish a security context between the client application and a remote "
            u"peer! HRESULT %x",
            static_cast<unsigned>(scRet));
    trace.Detail(
        u"InitializeSecurityContext return values: scRet='%d', OutBuffer.cbBuffer = '%d', "
        u"OutBuffer.pvBuffer='%p', "
        u"OutBuffer.ulVersion='%d'",
        scRet, OutBuffers[0].cbBuffer, OutBuffers[0].pvBuffer, OutBuffer.ulVersion);

    if (OutBuffers[0].cbBuffer != 0 && OutBuffers[0].pvBuffer != nullptr) {
        int cbData = Send(OutBuffers[0].pvBuffer, OutBuffers[0].cbBuffer);
        trace.Detail(u"Sending data; OutBuffers[0].cbBuffer='%d', cbData = '%d'",
                     OutBuffers[0].cbBuffer, cbData);
        if (cbData == SOCKET_ERROR || cbData == 0) {
            token.Free();
            m_SecurityFunc.DeleteSecurityContext(phContext);
            *phContext = CtxtHandle{};
            throw TSMTPException(3, u"Send data failed!");
        }
        token.Free();
    }

    int nResult = ClientHandshakeLoop(phCreds, phContext, true, pExtraData);

    if (pExtraData->pvBuffer != nullptr) {
        // Application data that came with the server's last handshake message:
        // the first Receive decrypts it before it reads the socket.
        BYTE* pbExtra = static_cast<BYTE*>(pExtraData->pvBuffer);
        DWORD cbExtra = pExtraData->cbBuffer;
        *pExtraData = SecBuffer{0, SECBUFFER_EMPTY, nullptr};
        transport::MallocPtr keep(pbExtra);
        KeepEncryptedInput(pbExtra, cbExtra);
    }
    trace.Bind(nResult);
    return nResult;
}

int TSMTPSSLSocket::ClientHandshakeLoop(CredHandle* phCreds, CtxtHandle* phContext,
                                        bool fDoInitialRead, SecBuffer* pExtraData) {
    TFunctionTrace trace(u"TSMTPSSLSocket::ClientHandshakeLoop");
    if (phCreds == nullptr || phContext == nullptr || pExtraData == nullptr)
        throw TSMTPException(3, u"Bad input parameters.");
    // Input that came before the loop (a handshake message that DecryptMessage
    // handed back) is taken over as the first bytes read.
    transport::MallocPtr Input(static_cast<BYTE*>(pExtraData->pvBuffer));
    const DWORD cbInput = Input ? pExtraData->cbBuffer : 0;
    *pExtraData = SecBuffer{0, SECBUFFER_EMPTY, nullptr};
    if (cbInput > IO_BUFFER_SIZE)
        throw TSMTPException(3, u"Bad input parameters.");
    transport::MallocPtr IoBuffer(static_cast<BYTE*>(std::malloc(IO_BUFFER_SIZE)));
    if (!IoBuffer)
        throw TSMTPException(3, u"Failed to allocate memory.");
    DWORD cbIoBuffer = cbInput;
    if (cbInput > 0) {
        std::memcpy(IoBuffer.get(), Input.get(), cbInput);
        fDoInitialRead = true;
    }
    Input.reset();
    SECURITY_STATUS scRet = SEC_I_CONTINUE_NEEDED;
    ULONG dwSSPIFlags = kContextRequest;
    trace.Detail(
        u"Starting client handshake loop; hCreds='%p', pExtraData='%p', phContext='%p', "
        u"dwSSPIFlags='%#x'",
        static_cast<void*>(phCreds), static_cast<void*>(pExtraData), static_cast<void*>(phContext),
        dwSSPIFlags);

    // The tokens are whole TLS records made by the package: they travel raw,
    // also in a renegotiation, when the channel is already up.
    struct RawChannel {
        BOOL& bSecure;
        BOOL bSaved;
        explicit RawChannel(BOOL& b) : bSecure(b), bSaved(b) { bSecure = 0; }
        ~RawChannel() { bSecure = bSaved; }
    } raw(m_bSecure);

    while (scRet == SEC_I_CONTINUE_NEEDED || scRet == SEC_E_INCOMPLETE_MESSAGE ||
           scRet == SEC_I_INCOMPLETE_CREDENTIALS) {
        if (cbIoBuffer == 0 || scRet == SEC_E_INCOMPLETE_MESSAGE) {
            if (!fDoInitialRead) {
                fDoInitialRead = true;
            } else {
                int cbData = Receive(IoBuffer.get() + cbIoBuffer, IO_BUFFER_SIZE - cbIoBuffer);
                trace.Detail(
                    u"Recive data; cbIoBuffer='%d', (IO_BUFFER_SIZE - cbIoBuffer)='%d', "
                    u"cbData='%d', scRet='%d'",
                    cbIoBuffer, IO_BUFFER_SIZE - cbIoBuffer, cbData, scRet);
                if (cbData == SOCKET_ERROR)
                    throw TSMTPException(3, u"SEC_E_INTERNAL_ERROR.");
                if (cbData == 0) {
                    SetLastError(WSAECONNRESET);
                    throw TSMTPException(3,
                                         u"The server closed the connection in the TLS handshake.");
                }
                cbIoBuffer += static_cast<DWORD>(cbData);
            }
        }

        SecBuffer InBuffers[2];
        InBuffers[0] = {cbIoBuffer, SECBUFFER_TOKEN, IoBuffer.get()};
        InBuffers[1] = {0, SECBUFFER_EMPTY, nullptr};
        SecBufferDesc InBuffer{SECBUFFER_VERSION, 2, InBuffers};
        SecBuffer OutBuffers[1] = {{0, SECBUFFER_TOKEN, nullptr}};
        SecBufferDesc OutBuffer{SECBUFFER_VERSION, 1, OutBuffers};
        TokenGuard token(m_SecurityFunc, OutBuffers[0]);
        ULONG dwSSPIOutFlags = 0;
        TimeStamp tsExpiry{};

        scRet = m_SecurityFunc.InitializeSecurityContextW(
            phCreds, phContext, nullptr, dwSSPIFlags, 0, SECURITY_NATIVE_DREP, &InBuffer, 0,
            nullptr, &OutBuffer, &dwSSPIOutFlags, &tsExpiry);
        trace.Detail(u"Initialize security contex; IoBuffer='%p' cbIoBuffer='%d', scRet='%d'",
                     static_cast<void*>(IoBuffer.get()), cbIoBuffer, scRet);

        if (scRet == SEC_I_INCOMPLETE_CREDENTIALS) {
            // The server asked for a client certificate: go on with the ones given.
            dwSSPIFlags |= ISC_REQ_USE_SUPPLIED_CREDS;
            token.Free();
            scRet = m_SecurityFunc.InitializeSecurityContextW(
                phCreds, phContext, nullptr, dwSSPIFlags, 0, SECURITY_NATIVE_DREP, &InBuffer, 0,
                nullptr, &OutBuffer, &dwSSPIOutFlags, &tsExpiry);
        }

        if (scRet == SEC_E_OK || scRet == SEC_I_CONTINUE_NEEDED ||
            (SEC_FAILED(scRet) && (dwSSPIOutFlags & ISC_RET_EXTENDED_ERROR) != 0)) {
            if (OutBuffers[0].cbBuffer != 0 && OutBuffers[0].pvBuffer != nullptr) {
                int cbData = Send(OutBuffers[0].pvBuffer, OutBuffers[0].cbBuffer);
                trace.Detail(u"Send data; OutBuffers[0].cbBuffer='%d', cbData='%d', scRet='%d'",
                             OutBuffers[0].cbBuffer, cbData, scRet);
                if (cbData == SOCKET_ERROR || cbData == 0) {
                    token.Free();
                    m_SecurityFunc.DeleteSecurityContext(phContext);
                    *phContext = CtxtHandle{};
                    throw TSMTPException(
                        3,
                        u"Cannot establish a security context between the client application and "
                        u"a remote peer!");
                }
                token.Free();
            }
        }

        if (scRet == SEC_E_INCOMPLETE_MESSAGE)
            continue;

        if (scRet == SEC_E_OK) {
            if (InBuffers[1].BufferType == SECBUFFER_EXTRA) {
                pExtraData->pvBuffer = std::malloc(InBuffers[1].cbBuffer);
                if (pExtraData->pvBuffer == nullptr)
                    throw TSMTPException(3, u"Failed to allocate memory.");
                std::memmove(pExtraData->pvBuffer,
                             IoBuffer.get() + (cbIoBuffer - InBuffers[1].cbBuffer),
                             InBuffers[1].cbBuffer);
                pExtraData->cbBuffer = InBuffers[1].cbBuffer;
                pExtraData->BufferType = SECBUFFER_TOKEN;
            } else {
                *pExtraData = SecBuffer{0, SECBUFFER_EMPTY, nullptr};
            }
            break;
        }

        if (SEC_FAILED(scRet)) {
            SetLastError(static_cast<DWORD>(scRet));
            throw TSMTPException(3, u"The TLS handshake failed.");
        }

        if (InBuffers[1].BufferType == SECBUFFER_EXTRA) {
            std::memmove(IoBuffer.get(), IoBuffer.get() + (cbIoBuffer - InBuffers[1].cbBuffer),
                         InBuffers[1].cbBuffer);
            cbIoBuffer = InBuffers[1].cbBuffer;
        } else {
            cbIoBuffer = 0;
        }
    }
    trace.Bind(1);
    return 1;
}

DWORD TSMTPSSLSocket::ClientVerifyCertificate(PCCERT_CONTEXT pServerCert,
                                              const char16_t* pszServerName, DWORD dwCertFlags) {
    TFunctionTrace trace(u"TSMTPSSLSocket::ClientVerifyCertificate");
    if (pServerCert == nullptr || pszServerName == nullptr)
        throw TSMTPException(3, u"Bad input parameters.");

    CERT_CHAIN_PARA ChainPara{};
    ChainPara.cbSize = sizeof ChainPara;
    PCCERT_CHAIN_CONTEXT pChainContext = nullptr;
    if (!CertGetCertificateChain(nullptr, pServerCert, nullptr, pServerCert->hCertStore, &ChainPara,
                                 0, nullptr, &pChainContext))
        throw TSMTPException(3, u"Verify a certificate against a root store failed!");
    struct ChainGuard {
        PCCERT_CHAIN_CONTEXT p;
        ~ChainGuard() { CertFreeCertificateChain(p); }
    } guard{pChainContext};

    trace.Detail(
        u"Verify a certificate against a root store; pServerCert='%p', pszServerName='%s', "
        u"dwCertFlags='%d'",
        static_cast<const void*>(pServerCert), pszServerName, dwCertFlags);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA polHttps{};
    polHttps.cbSize = sizeof polHttps;
    polHttps.dwAuthType = AUTHTYPE_SERVER;
    polHttps.fdwChecks = dwCertFlags;
    polHttps.pwszServerName = SspiText(pszServerName);
    CERT_CHAIN_POLICY_PARA PolicyPara{};
    PolicyPara.cbSize = sizeof PolicyPara;
    PolicyPara.pvExtraPolicyPara = &polHttps;
    CERT_CHAIN_POLICY_STATUS PolicyStatus{};
    PolicyStatus.cbSize = sizeof PolicyStatus;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, pChainContext, &PolicyPara,
                                          &PolicyStatus))
        throw TSMTPException(3, u"Cannot check a certificate chain to verify its validity!");
    if (PolicyStatus.dwError != 0) {
        // The policy error is the native code of this failure, with its text.
        SetLastError(PolicyStatus.dwError);
        throw TSMTPException(3, u"PolicyStatus error code = %x.", PolicyStatus.dwError);
    }
    return 0;
}

void TSMTPSSLSocket::ClientDisconnect(CredHandle* phCreds, CtxtHandle* phContext) {
    TFunctionTrace trace(u"TSMTPSSLSocket::ClientDisconnect");
    DWORD dwType = SCHANNEL_SHUTDOWN;
    SecBuffer OutBuffers[1] = {{sizeof dwType, SECBUFFER_TOKEN, &dwType}};
    SecBufferDesc OutBuffer{SECBUFFER_VERSION, 1, OutBuffers};
    SECURITY_STATUS status = m_SecurityFunc.ApplyControlToken(phContext, &OutBuffer);
    if (SEC_FAILED(status))
        throw TSMTPException(3, u"Cannot apply a control token to a security context. HRESULT = %x",
                             static_cast<unsigned>(status));

    OutBuffers[0] = {0, SECBUFFER_TOKEN, nullptr};
    TokenGuard token(m_SecurityFunc, OutBuffers[0]);
    ULONG dwSSPIOutFlags = 0;
    TimeStamp tsExpiry{};
    status = m_SecurityFunc.InitializeSecurityContextW(
        phCreds, phContext, nullptr, kContextRequest, 0, SECURITY_NATIVE_DREP, nullptr, 0,
        phContext, &OutBuffer, &dwSSPIOutFlags, &tsExpiry);
    if (SEC_FAILED(status))
        throw TSMTPException(
            3,
            u"Cannot establish a security context between the client application and a remote "
            u"peer! HRESULT %x",
            static_cast<unsigned>(status));
    trace.Detail(
        u"InitializeSecurityContext return values: scRet='%d', OutBuffer.cbBuffer = '%d', "
        u"OutBuffer.pvBuffer='%p', "
        u"OutBuffer.ulVersion='%d'",
        status, OutBuffers[0].cbBuffer, OutBuffers[0].pvBuffer, OutBuffer.ulVersion);

    if (OutBuffers[0].pvBuffer != nullptr && OutBuffers[0].cbBuffer != 0) {
        // The close_notify record is ready-made: it goes out raw.
        m_bSecure = 0;
        int cbData = Send(OutBuffers[0].pvBuffer, OutBuffers[0].cbBuffer);
        trace.Detail(u"Send data; cbData='%d', cbMessage='%d'", cbData, OutBuffers[0].cbBuffer);
        if (cbData == SOCKET_ERROR || cbData == 0) {
            m_SecurityFunc.DeleteSecurityContext(phContext);
            *phContext = CtxtHandle{};
            token.Free();
            throw TSMTPException(3, u"Send data failed!");
        }
        token.Free();
    }
    m_SecurityFunc.DeleteSecurityContext(phContext);
    *phContext = CtxtHandle{};
    m_bSecure = 0;
}
