// TSMTPSSLSocket: loading the security package, credentials, the TLS
// handshake, the server certificate check and the close of the channel.
#include <cstdlib>
#include <cstring>
#include <string>

#include "diag/DiagPrint.h"
#include "diag/FunctionTrace.h"
#include "platform/LastError.h"
#include "platform/WideFormat.h"
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

// TLS 1.0, 1.1 and everything older are never offered.
constexpr DWORD kLegacyProtocols =
    SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;
constexpr DWORD kClientProtocols = kLegacyProtocols | SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;

bool SameNameInAnyCase(const char16_t* a, const char16_t* b) {
    auto lower = [](char16_t c) {
        return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
    };
    for (; *a != 0 && *b != 0; ++a, ++b) {
        if (lower(*a) != lower(*b))
            return false;
    }
    return *a == *b;
}

// The first certificate of the store whose subject's common name is the name
// (in any case). CERT_FIND_SUBJECT_STR_W finds the text anywhere in the
// subject, so that "Ann" would also find Anne Smith's certificate.
PCCERT_CONTEXT FindClientCertificate(HCERTSTORE hStore, const char16_t* pszName) {
    PCCERT_CONTEXT pCert = nullptr;
    while ((pCert = CertFindCertificateInStore(hStore, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                               CERT_FIND_SUBJECT_STR_W, pszName, pCert)) !=
           nullptr) {
        char16_t szCommonName[256] = {};
        CertGetNameStringW(pCert, CERT_NAME_ATTR_TYPE, 0, szOID_COMMON_NAME, szCommonName, 256);
        if (SameNameInAnyCase(szCommonName, pszName))
            return pCert;
    }
    return nullptr;
}

// The errors of a revocation status that could not be found out: no list or
// responder to be had, or none reachable in time.
bool IsRevocationUnknown(DWORD dwError) {
    return dwError == static_cast<DWORD>(CRYPT_E_NO_REVOCATION_CHECK) ||
           dwError == static_cast<DWORD>(CRYPT_E_REVOCATION_OFFLINE);
}

}  // namespace

void TSMTPSSLSocket::LoadSecurityLibrary() {
    TFunctionTrace trace(u"TSMTPSSLSocket::LoadSecurityLibrary");
    if (m_hSecurity != nullptr) {
        // A handshake on a reused object: one reference to the library is enough.
        FreeLibrary(m_hSecurity);
        m_hSecurity = nullptr;
    }
    m_hSecurity = LoadSystemLibrary(u"SCHANNEL.DLL");
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
        if (m_pCertContext != nullptr) {
            CertFreeCertificateContext(m_pCertContext);
            m_pCertContext = nullptr;
        }
        // The user's certificates first, then the machine's.
        m_pCertContext = FindClientCertificate(m_hMyCertStore, pszUserName);
        if (m_pCertContext == nullptr) {
            HCERTSTORE hMachineStore =
                CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                              CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG, u"MY");
            if (hMachineStore != nullptr) {
                m_pCertContext = FindClientCertificate(hMachineStore, pszUserName);
                // The certificate keeps what it needs of its store.
                CertCloseStore(hMachineStore, 0);
            }
        }
        if (m_pCertContext == nullptr)
            throw TSMTPException(3, u"Cannot open common system certificate store!");
        trace.Detail(u"Common system certificate store opened successfully; pszUserName='%s'",
                     pszUserName);
    }

    // SCH_CREDENTIALS where Schannel takes it (and may offer TLS 1.3), the
    // older record before; either way nothing below TLS 1.2.
    const DWORD cCreds = m_pCertContext != nullptr ? 1 : 0;
    PCCERT_CONTEXT* paCred = m_pCertContext != nullptr ? &m_pCertContext : nullptr;
    const DWORD dwCredFlags = SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION;
    void* pAuthData = nullptr;
    m_SchannelCred = SCHANNEL_CRED{};
    m_SchCredentials = SCH_CREDENTIALS{};
    m_TlsParameters = TLS_PARAMETERS{};
    if (SchannelTakesSchCredentials()) {
        m_TlsParameters.grbitDisabledProtocols =
            kLegacyProtocols | (m_dwProtocol != 0 ? kClientProtocols & ~m_dwProtocol : 0);
        m_SchCredentials.dwVersion = SCH_CREDENTIALS_VERSION;
        m_SchCredentials.cCreds = cCreds;
        m_SchCredentials.paCred = paCred;
        m_SchCredentials.dwFlags = dwCredFlags;
        m_SchCredentials.cTlsParameters = 1;
        m_SchCredentials.pTlsParameters = &m_TlsParameters;
        pAuthData = &m_SchCredentials;
    } else {
        m_SchannelCred.dwVersion = SCHANNEL_CRED_VERSION;
        m_SchannelCred.cCreds = cCreds;
        m_SchannelCred.paCred = paCred;
        m_SchannelCred.grbitEnabledProtocols =
            m_dwProtocol != 0 ? m_dwProtocol & ~kLegacyProtocols : SP_PROT_TLS1_2_CLIENT;
        m_SchannelCred.dwFlags = dwCredFlags;
        pAuthData = &m_SchannelCred;
    }

    if (transport::IsHandleSet(*phCreds)) {
        // Credentials of an earlier handshake on this object.
        m_SecurityFunc.FreeCredentialsHandle(phCreds);
        *phCreds = CredHandle{};
    }
    TimeStamp tsExpiry{};
    SECURITY_STATUS status = m_SecurityFunc.AcquireCredentialsHandleW(
        nullptr, SspiText(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr, pAuthData, nullptr, nullptr,
        phCreds, &tsExpiry);
    if (status != SEC_E_OK)
        throw TSMTPException(
            3,
            u"Cannot acquire a handle to preexisting credentials associated with the user on "
            u"whose behalf the call is made!");
}

int TSMTPSSLSocket::ClientConnect(const char16_t* pszServerName) {
    TFunctionTrace trace(u"TSMTPSSLSocket::ClientConnect");
    // The credentials of an earlier connection of this object stay: Schannel
    // resumes a session only under the handle that made it.
    if (!transport::IsHandleSet(m_hClientCreds))
        ClientCreateCredentials(m_strUserName.c_str(), &m_hClientCreds);
    if (transport::IsHandleSet(m_hContext)) {
        // The context of an earlier handshake on this object.
        m_SecurityFunc.DeleteSecurityContext(&m_hContext);
        m_hContext = CtxtHandle{};
    }
    SecBuffer ExtraData{0, SECBUFFER_EMPTY, nullptr};
    m_strServerName = pszServerName != nullptr ? pszServerName : u"";
    m_VerifiedCert.clear();
    ClientHandshake(&m_hClientCreds, pszServerName, &m_hContext, &ExtraData);
    CheckServerCertificate();
    SecPkgContext_SessionInfo info{};
    if (m_SecurityFunc.QueryContextAttributesW(&m_hContext, SECPKG_ATTR_SESSION_INFO, &info) ==
            SEC_E_OK &&
        (info.dwFlags & SSL_SESSION_RECONNECT) != 0)
        DiagPrint(u"TLS session resumed with %s.\n", m_strServerName.c_str());
    trace.Bind(1);
    return 1;
}

void TSMTPSSLSocket::CheckServerCertificate() {
    if ((m_dwCertFlags & transport::kCertFlagNoCheck) != 0)
        return;
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
    std::string encoded(reinterpret_cast<const char*>(pRemoteCertContext->pbCertEncoded),
                        pRemoteCertContext->cbCertEncoded);
    if (encoded == m_VerifiedCert)
        return;
    ClientVerifyCertificate(pRemoteCertContext, m_strServerName.c_str(), m_dwCertFlags);
    m_VerifiedCert = std::move(encoded);
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
                // Receive throws its own errors; 0 is the server's close.
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
            // The server asked for a client certificate: go on with the ones
            // given, from buffers as they were before the call changed them.
            dwSSPIFlags |= ISC_REQ_USE_SUPPLIED_CREDS;
            token.Free();
            InBuffers[0] = {cbIoBuffer, SECBUFFER_TOKEN, IoBuffer.get()};
            InBuffers[1] = {0, SECBUFFER_EMPTY, nullptr};
            OutBuffers[0] = {0, SECBUFFER_TOKEN, nullptr};
            dwSSPIOutFlags = 0;
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
    // After a handshake on an established channel (a renegotiation, or a TLS
    // 1.3 message after the handshake) the server may show another
    // certificate: it passes the same check.
    if (raw.bSaved)
        CheckServerCertificate();
    trace.Bind(1);
    return 1;
}

DWORD TSMTPSSLSocket::ClientVerifyCertificate(PCCERT_CONTEXT pServerCert,
                                              const char16_t* pszServerName, DWORD dwCertFlags) {
    TFunctionTrace trace(u"TSMTPSSLSocket::ClientVerifyCertificate");
    if (pServerCert == nullptr || pszServerName == nullptr)
        throw TSMTPException(3, u"Bad input parameters.");

    // A certificate for server authentication, and the revocation of every
    // certificate in the chain but the root, with every URL retrieval within
    // what is left of the handshake's time. (Waiving revocation skips it.)
    char* rgpszUsage[] = {const_cast<char*>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA ChainPara{};
    ChainPara.cbSize = sizeof ChainPara;
    ChainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    ChainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    ChainPara.RequestedUsage.Usage.rgpszUsageIdentifier = rgpszUsage;
    ChainPara.dwUrlRetrievalTimeout = RemainingMs();
    const DWORD dwChainFlags = (dwCertFlags & transport::kCertFlagIgnoreRevocation) != 0
                                   ? 0
                                   : CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT |
                                         CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT;
    PCCERT_CHAIN_CONTEXT pChainContext = nullptr;
    if (!CertGetCertificateChain(nullptr, pServerCert, nullptr, pServerCert->hCertStore, &ChainPara,
                                 dwChainFlags, nullptr, &pChainContext))
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
    // A revocation status that cannot be found out (no list to be had, none
    // reachable in time) is no reason to refuse; a revoked certificate is.
    CERT_CHAIN_POLICY_PARA PolicyPara{};
    PolicyPara.cbSize = sizeof PolicyPara;
    PolicyPara.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
    PolicyPara.pvExtraPolicyPara = &polHttps;
    CERT_CHAIN_POLICY_STATUS PolicyStatus{};
    PolicyStatus.cbSize = sizeof PolicyStatus;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, pChainContext, &PolicyPara,
                                          &PolicyStatus))
        throw TSMTPException(3, u"Cannot check a certificate chain to verify its validity!");
    if (IsRevocationUnknown(PolicyStatus.dwError)) {
        // The unknown status is waived; the checks after it still answer.
        polHttps.fdwChecks |= transport::kCertFlagIgnoreRevocation;
        PolicyStatus = CERT_CHAIN_POLICY_STATUS{};
        PolicyStatus.cbSize = sizeof PolicyStatus;
        if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, pChainContext, &PolicyPara,
                                              &PolicyStatus))
            throw TSMTPException(3, u"Cannot check a certificate chain to verify its validity!");
        if (PolicyStatus.dwError == 0 &&
            (pChainContext->TrustStatus.dwErrorStatus & CERT_TRUST_IS_REVOKED) != 0)
            PolicyStatus.dwError = static_cast<DWORD>(CRYPT_E_REVOKED);
    }
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
