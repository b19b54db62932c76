// The security support provider interface (SSPI) as the TLS channel and the
// NTLM handshake call it: the types, status values and constants of the
// Windows headers, the free functions of the security library and the
// function table that InitSecurityInterfaceW hands out.
//
// On Windows all of it is the system's own (secur32, and the table of
// SCHANNEL.DLL). On POSIX the packages are the platform's own emulations:
// "Microsoft Unified Security Protocol Provider" (TLS over OpenSSL with memory
// BIOs) and "NTLM" (GSSAPI with the NTLMSSP mechanism). A handle names its
// package, so the free functions and the table dispatch on it.
#pragma once

#include <cstdint>

#include "platform/Certificates.h"
#include "platform/WinTypes.h"

#if defined(_WIN32)

#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
// SCH_CREDENTIALS and TLS_PARAMETERS, which take UNICODE_STRING.
#ifndef SCHANNEL_USE_BLACKLISTS
#define SCHANNEL_USE_BLACKLISTS
#endif
#include <subauth.h>
// After subauth.h.
#include <schannel.h>
#include <security.h>

#ifndef NTLMSP_NAME_W
#define NTLMSP_NAME_W L"NTLM"
#endif

namespace platform {

using ::CredHandle;
using ::CtxtHandle;
using ::INIT_SECURITY_INTERFACE_W;
using ::PCredHandle;
using ::PCtxtHandle;
using ::SCH_CREDENTIALS;
using ::SCHANNEL_CRED;
using ::SecBuffer;
using ::SecBufferDesc;
using ::SecHandle;
using ::SecPkgContext_SessionInfo;
using ::SecPkgContext_StreamSizes;
using ::SECURITY_STATUS;
using ::SecurityFunctionTableW;
using ::TimeStamp;
using ::TLS_PARAMETERS;

using ::AcquireCredentialsHandleW;
using ::ApplyControlToken;
using ::CompleteAuthToken;
using ::DecryptMessage;
using ::DeleteSecurityContext;
using ::EncryptMessage;
using ::FreeContextBuffer;
using ::FreeCredentialsHandle;
using ::InitializeSecurityContextW;
using ::QueryContextAttributesW;

// Text arguments of the SSPI calls: the Windows prototypes take writable wide
// strings that they only read.
inline SEC_WCHAR* SspiText(const char16_t* text) {
    return const_cast<SEC_WCHAR*>(reinterpret_cast<const SEC_WCHAR*>(text));
}
inline SEC_WCHAR* SspiText(const wchar_t* text) {
    return const_cast<SEC_WCHAR*>(text);
}

}  // namespace platform

#else

namespace platform {
using SECURITY_STATUS = std::int32_t;
}  // namespace platform

constexpr platform::SECURITY_STATUS SEC_E_OK = 0;
constexpr platform::SECURITY_STATUS SEC_I_CONTINUE_NEEDED = 0x00090312;
constexpr platform::SECURITY_STATUS SEC_I_COMPLETE_NEEDED = 0x00090313;
constexpr platform::SECURITY_STATUS SEC_I_COMPLETE_AND_CONTINUE = 0x00090314;
constexpr platform::SECURITY_STATUS SEC_I_CONTEXT_EXPIRED = 0x00090317;
constexpr platform::SECURITY_STATUS SEC_I_INCOMPLETE_CREDENTIALS = 0x00090320;
constexpr platform::SECURITY_STATUS SEC_I_RENEGOTIATE = 0x00090321;
constexpr platform::SECURITY_STATUS SEC_E_INSUFFICIENT_MEMORY =
    static_cast<platform::SECURITY_STATUS>(0x80090300u);
constexpr platform::SECURITY_STATUS SEC_E_INVALID_HANDLE =
    static_cast<platform::SECURITY_STATUS>(0x80090301u);
constexpr platform::SECURITY_STATUS SEC_E_UNSUPPORTED_FUNCTION =
    static_cast<platform::SECURITY_STATUS>(0x80090302u);
constexpr platform::SECURITY_STATUS SEC_E_TARGET_UNKNOWN =
    static_cast<platform::SECURITY_STATUS>(0x80090303u);
constexpr platform::SECURITY_STATUS SEC_E_INTERNAL_ERROR =
    static_cast<platform::SECURITY_STATUS>(0x80090304u);
constexpr platform::SECURITY_STATUS SEC_E_SECPKG_NOT_FOUND =
    static_cast<platform::SECURITY_STATUS>(0x80090305u);
constexpr platform::SECURITY_STATUS SEC_E_NOT_OWNER =
    static_cast<platform::SECURITY_STATUS>(0x80090306u);
constexpr platform::SECURITY_STATUS SEC_E_INVALID_TOKEN =
    static_cast<platform::SECURITY_STATUS>(0x80090308u);
constexpr platform::SECURITY_STATUS SEC_E_LOGON_DENIED =
    static_cast<platform::SECURITY_STATUS>(0x8009030Cu);
constexpr platform::SECURITY_STATUS SEC_E_UNKNOWN_CREDENTIALS =
    static_cast<platform::SECURITY_STATUS>(0x8009030Du);
constexpr platform::SECURITY_STATUS SEC_E_NO_CREDENTIALS =
    static_cast<platform::SECURITY_STATUS>(0x8009030Eu);
constexpr platform::SECURITY_STATUS SEC_E_MESSAGE_ALTERED =
    static_cast<platform::SECURITY_STATUS>(0x8009030Fu);
constexpr platform::SECURITY_STATUS SEC_E_OUT_OF_SEQUENCE =
    static_cast<platform::SECURITY_STATUS>(0x80090310u);
constexpr platform::SECURITY_STATUS SEC_E_NO_AUTHENTICATING_AUTHORITY =
    static_cast<platform::SECURITY_STATUS>(0x80090311u);
constexpr platform::SECURITY_STATUS SEC_E_CONTEXT_EXPIRED =
    static_cast<platform::SECURITY_STATUS>(0x80090317u);
constexpr platform::SECURITY_STATUS SEC_E_INCOMPLETE_MESSAGE =
    static_cast<platform::SECURITY_STATUS>(0x80090318u);
constexpr platform::SECURITY_STATUS SEC_E_WRONG_PRINCIPAL =
    static_cast<platform::SECURITY_STATUS>(0x80090322u);
constexpr platform::SECURITY_STATUS SEC_E_UNTRUSTED_ROOT =
    static_cast<platform::SECURITY_STATUS>(0x80090325u);
constexpr platform::SECURITY_STATUS SEC_E_ILLEGAL_MESSAGE =
    static_cast<platform::SECURITY_STATUS>(0x80090326u);
constexpr platform::SECURITY_STATUS SEC_E_CERT_UNKNOWN =
    static_cast<platform::SECURITY_STATUS>(0x80090327u);
constexpr platform::SECURITY_STATUS SEC_E_CERT_EXPIRED =
    static_cast<platform::SECURITY_STATUS>(0x80090328u);
constexpr platform::SECURITY_STATUS SEC_E_ENCRYPT_FAILURE =
    static_cast<platform::SECURITY_STATUS>(0x80090329u);
constexpr platform::SECURITY_STATUS SEC_E_DECRYPT_FAILURE =
    static_cast<platform::SECURITY_STATUS>(0x80090330u);
constexpr platform::SECURITY_STATUS SEC_E_ALGORITHM_MISMATCH =
    static_cast<platform::SECURITY_STATUS>(0x80090331u);

constexpr ULONG SECBUFFER_VERSION = 0;
constexpr ULONG SECBUFFER_EMPTY = 0;
constexpr ULONG SECBUFFER_DATA = 1;
constexpr ULONG SECBUFFER_TOKEN = 2;
constexpr ULONG SECBUFFER_MISSING = 4;
constexpr ULONG SECBUFFER_EXTRA = 5;
constexpr ULONG SECBUFFER_STREAM_TRAILER = 6;
constexpr ULONG SECBUFFER_STREAM_HEADER = 7;
constexpr ULONG SECBUFFER_ALERT = 17;

constexpr ULONG ISC_REQ_DELEGATE = 0x00000001;
constexpr ULONG ISC_REQ_MUTUAL_AUTH = 0x00000002;
constexpr ULONG ISC_REQ_REPLAY_DETECT = 0x00000004;
constexpr ULONG ISC_REQ_SEQUENCE_DETECT = 0x00000008;
constexpr ULONG ISC_REQ_CONFIDENTIALITY = 0x00000010;
constexpr ULONG ISC_REQ_PROMPT_FOR_CREDS = 0x00000040;
constexpr ULONG ISC_REQ_USE_SUPPLIED_CREDS = 0x00000080;
constexpr ULONG ISC_REQ_ALLOCATE_MEMORY = 0x00000100;
constexpr ULONG ISC_REQ_EXTENDED_ERROR = 0x00004000;
constexpr ULONG ISC_REQ_STREAM = 0x00008000;
constexpr ULONG ISC_RET_EXTENDED_ERROR = 0x00004000;

constexpr ULONG SECPKG_CRED_INBOUND = 1;
constexpr ULONG SECPKG_CRED_OUTBOUND = 2;
constexpr ULONG SECURITY_NATIVE_DREP = 0x10;

constexpr ULONG SECPKG_ATTR_STREAM_SIZES = 4;
constexpr ULONG SECPKG_ATTR_REMOTE_CERT_CONTEXT = 0x53;
constexpr ULONG SECPKG_ATTR_SESSION_INFO = 0x5d;
constexpr DWORD SSL_SESSION_RECONNECT = 1;

constexpr DWORD SCHANNEL_CRED_VERSION = 4;
constexpr DWORD SCH_CREDENTIALS_VERSION = 5;
constexpr DWORD SCHANNEL_SHUTDOWN = 1;
constexpr DWORD SCH_CRED_MANUAL_CRED_VALIDATION = 0x00000008;
constexpr DWORD SCH_CRED_NO_DEFAULT_CREDS = 0x00000010;

constexpr DWORD SP_PROT_SSL2_CLIENT = 0x00000008;
constexpr DWORD SP_PROT_SSL3_CLIENT = 0x00000020;
constexpr DWORD SP_PROT_TLS1_0_CLIENT = 0x00000080;
constexpr DWORD SP_PROT_TLS1_1_CLIENT = 0x00000200;
constexpr DWORD SP_PROT_TLS1_2_CLIENT = 0x00000800;
constexpr DWORD SP_PROT_TLS1_3_CLIENT = 0x00002000;

#define UNISP_NAME_W u"Microsoft Unified Security Protocol Provider"
#define NTLMSP_NAME_W u"NTLM"

namespace platform {

struct SecHandle {
    ULONG_PTR dwLower;
    ULONG_PTR dwUpper;
};
using CredHandle = SecHandle;
using CtxtHandle = SecHandle;
using PCredHandle = CredHandle*;
using PCtxtHandle = CtxtHandle*;

struct TimeStamp {
    ULONG LowPart;
    LONG HighPart;
};

struct SecBuffer {
    ULONG cbBuffer;
    ULONG BufferType;
    void* pvBuffer;
};

struct SecBufferDesc {
    ULONG ulVersion;
    ULONG cBuffers;
    SecBuffer* pBuffers;
};

struct SecPkgContext_StreamSizes {
    ULONG cbHeader;
    ULONG cbTrailer;
    ULONG cbMaximumMessage;
    ULONG cBuffers;
    ULONG cbBlockSize;
};

struct SecPkgContext_SessionInfo {
    DWORD dwFlags;  // SSL_SESSION_RECONNECT: the handshake resumed an earlier session
    DWORD cbSessionId;
    BYTE rgbSessionId[32];
};

struct SCHANNEL_CRED {
    DWORD dwVersion;
    DWORD cCreds;
    PCCERT_CONTEXT* paCred;
    HCERTSTORE hRootStore;
    DWORD cMappers;
    void** aphMappers;
    DWORD cSupportedAlgs;
    DWORD* palgSupportedAlgs;
    DWORD grbitEnabledProtocols;
    DWORD dwMinimumCipherStrength;
    DWORD dwMaximumCipherStrength;
    DWORD dwSessionLifespan;
    DWORD dwFlags;
    DWORD dwCredFormat;
};

// The protocols a credential leaves out; the project never sets the others.
struct TLS_PARAMETERS {
    DWORD cAlpnIds;
    void* rgstrAlpnIds;
    DWORD grbitDisabledProtocols;
    DWORD cDisabledCrypto;
    void* pDisabledCrypto;
    DWORD dwFlags;
};

struct SCH_CREDENTIALS {
    DWORD dwVersion;
    DWORD dwCredFormat;
    DWORD cCreds;
    PCCERT_CONTEXT* paCred;
    HCERTSTORE hRootStore;
    DWORD cMappers;
    void** aphMappers;
    DWORD dwSessionLifespan;
    DWORD dwFlags;
    DWORD cTlsParameters;
    TLS_PARAMETERS* pTlsParameters;
};

using SEC_GET_KEY_FN = void (*)(void* arg, void* principal, ULONG keyVer, void** key,
                                SECURITY_STATUS* status);

using ACQUIRE_CREDENTIALS_HANDLE_FN_W =
    SECURITY_STATUS (*)(const char16_t* principal, const char16_t* package, ULONG credentialUse,
                        void* logonId, void* authData, SEC_GET_KEY_FN getKeyFn,
                        void* getKeyArgument, PCredHandle credential, TimeStamp* expiry);
using FREE_CREDENTIALS_HANDLE_FN = SECURITY_STATUS (*)(PCredHandle credential);
using INITIALIZE_SECURITY_CONTEXT_FN_W = SECURITY_STATUS (*)(
    PCredHandle credential, PCtxtHandle context, const char16_t* targetName, ULONG contextReq,
    ULONG reserved1, ULONG targetDataRep, SecBufferDesc* input, ULONG reserved2,
    PCtxtHandle newContext, SecBufferDesc* output, ULONG* contextAttr, TimeStamp* expiry);
using COMPLETE_AUTH_TOKEN_FN = SECURITY_STATUS (*)(PCtxtHandle context, SecBufferDesc* token);
using DELETE_SECURITY_CONTEXT_FN = SECURITY_STATUS (*)(PCtxtHandle context);
using APPLY_CONTROL_TOKEN_FN = SECURITY_STATUS (*)(PCtxtHandle context, SecBufferDesc* input);
using QUERY_CONTEXT_ATTRIBUTES_FN_W = SECURITY_STATUS (*)(PCtxtHandle context, ULONG attribute,
                                                          void* buffer);
using FREE_CONTEXT_BUFFER_FN = SECURITY_STATUS (*)(void* buffer);
using ENCRYPT_MESSAGE_FN = SECURITY_STATUS (*)(PCtxtHandle context, ULONG qop,
                                               SecBufferDesc* message, ULONG messageSeqNo);
using DECRYPT_MESSAGE_FN = SECURITY_STATUS (*)(PCtxtHandle context, SecBufferDesc* message,
                                               ULONG messageSeqNo, ULONG* qop);

// The table of InitSecurityInterfaceW: the version word and 29 entries in the
// order of the Windows headers (120 bytes on 32-bit Windows). Entries the
// library never calls are kept as untyped slots.
struct SecurityFunctionTableW {
    ULONG dwVersion;
    void* EnumerateSecurityPackagesW;
    void* QueryCredentialsAttributesW;
    ACQUIRE_CREDENTIALS_HANDLE_FN_W AcquireCredentialsHandleW;
    FREE_CREDENTIALS_HANDLE_FN FreeCredentialsHandle;
    void* Reserved2;
    INITIALIZE_SECURITY_CONTEXT_FN_W InitializeSecurityContextW;
    void* AcceptSecurityContext;
    COMPLETE_AUTH_TOKEN_FN CompleteAuthToken;
    DELETE_SECURITY_CONTEXT_FN DeleteSecurityContext;
    APPLY_CONTROL_TOKEN_FN ApplyControlToken;
    QUERY_CONTEXT_ATTRIBUTES_FN_W QueryContextAttributesW;
    void* ImpersonateSecurityContext;
    void* RevertSecurityContext;
    void* MakeSignature;
    void* VerifySignature;
    FREE_CONTEXT_BUFFER_FN FreeContextBuffer;
    void* QuerySecurityPackageInfoW;
    void* Reserved3;
    void* Reserved4;
    void* ExportSecurityContext;
    void* ImportSecurityContextW;
    void* AddCredentialsW;
    void* Reserved8;
    void* QuerySecurityContextToken;
    ENCRYPT_MESSAGE_FN EncryptMessage;
    DECRYPT_MESSAGE_FN DecryptMessage;
    void* SetContextAttributesW;
    void* SetCredentialsAttributesW;
    void* ChangeAccountPasswordW;
};
static_assert(sizeof(SecurityFunctionTableW) == sizeof(void*) * 30, "version word plus 29 entries");

using INIT_SECURITY_INTERFACE_W = SecurityFunctionTableW* (*)();

// The security library's exports (secur32 on Windows).
SECURITY_STATUS AcquireCredentialsHandleW(const char16_t* principal, const char16_t* package,
                                          ULONG credentialUse, void* logonId, void* authData,
                                          SEC_GET_KEY_FN getKeyFn, void* getKeyArgument,
                                          PCredHandle credential, TimeStamp* expiry);
SECURITY_STATUS FreeCredentialsHandle(PCredHandle credential);
SECURITY_STATUS InitializeSecurityContextW(PCredHandle credential, PCtxtHandle context,
                                           const char16_t* targetName, ULONG contextReq,
                                           ULONG reserved1, ULONG targetDataRep,
                                           SecBufferDesc* input, ULONG reserved2,
                                           PCtxtHandle newContext, SecBufferDesc* output,
                                           ULONG* contextAttr, TimeStamp* expiry);
SECURITY_STATUS CompleteAuthToken(PCtxtHandle context, SecBufferDesc* token);
SECURITY_STATUS DeleteSecurityContext(PCtxtHandle context);
SECURITY_STATUS ApplyControlToken(PCtxtHandle context, SecBufferDesc* input);
SECURITY_STATUS QueryContextAttributesW(PCtxtHandle context, ULONG attribute, void* buffer);
SECURITY_STATUS FreeContextBuffer(void* buffer);
SECURITY_STATUS EncryptMessage(PCtxtHandle context, ULONG qop, SecBufferDesc* message,
                               ULONG messageSeqNo);
SECURITY_STATUS DecryptMessage(PCtxtHandle context, SecBufferDesc* message, ULONG messageSeqNo,
                               ULONG* qop);
// The export of "SCHANNEL.DLL" (DynamicLibrary.h finds it by that name).
SecurityFunctionTableW* InitSecurityInterfaceW();

inline const char16_t* SspiText(const char16_t* text) {
    return text;
}

}  // namespace platform

#endif

namespace platform {

inline bool SEC_FAILED(SECURITY_STATUS s) {
    return s < 0;
}

// Whether the Schannel package takes SCH_CREDENTIALS, the credential record
// that can offer TLS 1.3: Windows 10 1809 (build 17763) and later, by the
// system's true version (RtlGetVersion: GetVersionEx answers by the host's
// manifest). The POSIX package always does.
bool SchannelTakesSchCredentials();

}  // namespace platform
