#include "smtp/TAuthentication.h"

#include <cstring>
#include <new>
#include <vector>

#include "diag/DiagPrint.h"
#include "diag/FunctionTrace.h"
#include "transport/TSMTPException.h"
#include "vxutil.h"

using namespace platform;

namespace {

// The server's challenge is decoded into a buffer of this fixed size.
constexpr DWORD kChallengeBufferSize = 15000;

bool HoldsHandle(const SecHandle& h) {
    return h.dwLower != 0 || h.dwUpper != 0;
}

void ReleaseHandles(CredHandle& credential, CtxtHandle& context) {
    if (HoldsHandle(context))
        DeleteSecurityContext(&context);
    context = CtxtHandle{0, 0};
    if (HoldsHandle(credential))
        FreeCredentialsHandle(&credential);
    credential = CredHandle{0, 0};
}

[[noreturn]] void ThrowStatus(SECURITY_STATUS status) {
    throw TSMTPException(3, u"%s", TAuthentication::PoptSecrityError(status).c_str());
}

// Turns the result of InitializeSecurityContextW into the caller's token:
// completes it when the package asks for that, refuses failures, and copies
// the package's memory into a buffer of the caller's before giving it back.
void TakeOutputToken(SECURITY_STATUS status, CtxtHandle* context, SecBufferDesc* outDesc,
                     BYTE** ppOutBuffer, DWORD* pcbOutBuffer) {
    SecBuffer& out = outDesc->pBuffers[0];
    if (status == SEC_I_COMPLETE_NEEDED || status == SEC_I_COMPLETE_AND_CONTINUE) {
        SECURITY_STATUS completed = CompleteAuthToken(context, outDesc);
        if (SEC_FAILED(completed))
            status = completed;
    }
    if (SEC_FAILED(status)) {
        if (out.pvBuffer != nullptr)
            FreeContextBuffer(out.pvBuffer);
        out.pvBuffer = nullptr;
        ThrowStatus(status);
    }

    *pcbOutBuffer = out.cbBuffer;
    if (out.cbBuffer == 0) {
        if (out.pvBuffer != nullptr)
            FreeContextBuffer(out.pvBuffer);
        throw TSMTPException(3, u"OutSecBuff.cbBuffer cannot be 0.");
    }

    BYTE* pToken = new (std::nothrow) BYTE[out.cbBuffer]();
    if (pToken == nullptr) {
        FreeContextBuffer(out.pvBuffer);
        throw TSMTPException(3, u"Cannot allocate memory.");
    }
    std::memcpy(pToken, out.pvBuffer, out.cbBuffer);
    *ppOutBuffer = pToken;

    if (out.pvBuffer != nullptr) {
        SECURITY_STATUS freed = FreeContextBuffer(out.pvBuffer);
        out.pvBuffer = nullptr;
        if (freed != SEC_E_OK)
            ThrowStatus(freed);
    }
}

}  // namespace

TAuthentication::TAuthentication() : m_hCredential{0, 0}, m_hSecContext{0, 0} {
    TFunctionTrace trace(u"TAuthentication::TAuthentication");
}

TAuthentication::~TAuthentication() {
    TFunctionTrace trace(u"TAuthentication::~TAuthentication");
    ReleaseHandles(m_hCredential, m_hSecContext);
}

bool TAuthentication::NTLMHandshakeMessage1(BYTE** ppOutBuffer, DWORD* pcbOutBuffer) {
    bool bResult = false;
    TFunctionTrace trace(u"TAuthentication::NTLMHandshakeMessage1");
    trace.Bind(&bResult);
    try {
        if (pcbOutBuffer == nullptr || ppOutBuffer == nullptr || *ppOutBuffer != nullptr)
            throw TSMTPException(3, u"Invalid input parameter.");

        // A negotiate token starts a new exchange: whatever an earlier one
        // left behind goes first.
        ReleaseHandles(m_hCredential, m_hSecContext);

        TimeStamp tsExpiry{};
        SECURITY_STATUS status = AcquireCredentialsHandleW(
            nullptr, SspiText(NTLMSP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr, nullptr, nullptr,
            nullptr, &m_hCredential, &tsExpiry);
        if (status != SEC_E_OK)
            ThrowStatus(status);

        SecBuffer OutSecBuff{0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc OutBuffDesc{SECBUFFER_VERSION, 1, &OutSecBuff};
        ULONG ContextAttributes = 0;
        status = InitializeSecurityContextW(
            &m_hCredential, nullptr, nullptr, ISC_REQ_ALLOCATE_MEMORY, 0, SECURITY_NATIVE_DREP,
            nullptr, 0, &m_hSecContext, &OutBuffDesc, &ContextAttributes, &tsExpiry);
        TakeOutputToken(status, &m_hSecContext, &OutBuffDesc, ppOutBuffer, pcbOutBuffer);
        bResult = true;
        return bResult;
    } catch (TSMTPException& e) {
        DiagPrint(u"%s", e.GetErrorText().c_str());
        throw;
    }
}

bool TAuthentication::NTLMHandshakeMessage2(std::string sChallenge, BYTE** ppOutBuffer,
                                            DWORD* pcbOutBuffer) {
    bool bResult = false;
    TFunctionTrace trace(u"TAuthentication::NTLMHandshakeMessage2");
    trace.Bind(&bResult);
    try {
        if (ppOutBuffer == nullptr || *ppOutBuffer != nullptr || pcbOutBuffer == nullptr)
            throw TSMTPException(3, u"Invalid input parameter.");

        BYTE* pChallenge = new (std::nothrow) BYTE[kChallengeBufferSize]();
        if (pChallenge == nullptr)
            throw TSMTPException(3, u"Cannot allocate memory.");
        *ppOutBuffer = pChallenge;

        std::u16string strChallenge;
        strAnsiToWide(strChallenge, sChallenge.data(), static_cast<int>(sChallenge.size()), CP_ACP,
                      false);
        // A text this long cannot be a challenge, and its length would not fit
        // the decoder's count.
        if (strChallenge.size() > 0x3FFFFFFF)
            throw TSMTPException(3, u"The server's challenge is longer than %u bytes.",
                                 kChallengeBufferSize);

        const int nTextLen = static_cast<int>(strChallenge.size());
        std::vector<unsigned char> decoded(static_cast<size_t>(nTextLen) * 3 / 4 + 3);
        int nDecoded = DecodeBase64(decoded.data(), strChallenge.c_str(), nTextLen);
        if (nDecoded < 0)
            throw TSMTPException(3, u"The server's challenge is not valid Base64.");
        if (static_cast<DWORD>(nDecoded) > kChallengeBufferSize)
            throw TSMTPException(3, u"The server's challenge of %d bytes is longer than %u bytes.",
                                 nDecoded, kChallengeBufferSize);

        std::memcpy(pChallenge, decoded.data(), static_cast<size_t>(nDecoded));
        *pcbOutBuffer = static_cast<DWORD>(nDecoded);
        bResult = true;
        return bResult;
    } catch (TSMTPException& e) {
        DiagPrint(u"%s", e.GetErrorText().c_str());
        throw;
    }
}

bool TAuthentication::NTLMHandshakeMessage3(const BYTE* pChallenge, int cbChallenge,
                                            BYTE** ppOutBuffer, DWORD* pcbOutBuffer) {
    bool bResult = false;
    TFunctionTrace trace(u"TAuthentication::NTLMHandshakeMessage3");
    trace.Bind(&bResult);
    try {
        if (pChallenge == nullptr || cbChallenge <= 0 || ppOutBuffer == nullptr ||
            *ppOutBuffer != nullptr || pcbOutBuffer == nullptr)
            throw TSMTPException(3, u"Invalid input parameter.");

        SecBuffer InSecBuff{static_cast<ULONG>(cbChallenge), SECBUFFER_TOKEN,
                            const_cast<BYTE*>(pChallenge)};
        SecBufferDesc InBuffDesc{SECBUFFER_VERSION, 1, &InSecBuff};
        SecBuffer OutSecBuff{0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc OutBuffDesc{SECBUFFER_VERSION, 1, &OutSecBuff};
        ULONG ContextAttributes = 0;
        TimeStamp tsExpiry{};
        SECURITY_STATUS status = InitializeSecurityContextW(
            &m_hCredential, &m_hSecContext, nullptr, ISC_REQ_ALLOCATE_MEMORY, 0,
            SECURITY_NATIVE_DREP, &InBuffDesc, 0, &m_hSecContext, &OutBuffDesc, &ContextAttributes,
            &tsExpiry);
        TakeOutputToken(status, &m_hSecContext, &OutBuffDesc, ppOutBuffer, pcbOutBuffer);
        bResult = true;
        return bResult;
    } catch (TSMTPException& e) {
        DiagPrint(u"%s", e.GetErrorText().c_str());
        throw;
    }
}

std::u16string TAuthentication::PoptSecrityError(SECURITY_STATUS status) {
    TFunctionTrace trace(u"TAuthentication::PoptSecrityError");
    switch (status) {
        case SEC_E_INSUFFICIENT_MEMORY:
            return u"There is not enough memory available to complete the requested action.";
        case SEC_E_INVALID_HANDLE:
            return u"The handle passed to the function is invalid.";
        case SEC_E_UNSUPPORTED_FUNCTION:
            return u"An invalid context attribute flag (ISC_REQ_DELEGATE or "
                   u"ISC_REQ_PROMPT_FOR_CREDS) was "
                   u"specified in the fContextReq parameter.";
        case SEC_E_TARGET_UNKNOWN:
            return u"The target was not recognized.";
        case SEC_E_INTERNAL_ERROR:
            return u"An error occurred that did not map to an SSPI error code.";
        case SEC_E_SECPKG_NOT_FOUND:
            return u"The requested security package does not exist.";
        case SEC_E_NOT_OWNER:
            return u"The caller of the function does not have the necessary credentials.";
        case SEC_E_INVALID_TOKEN:
            return u"The error is due to a malformed input token, such as a token corrupted in "
                   u"transit, a token "
                   u"of incorrect size, or a token passed into the wrong security package. Passing "
                   u"a token to the "
                   u"wrong package can happen if the client and server did not negotiate the "
                   u"proper security "
                   u"package.";
        case SEC_E_LOGON_DENIED:
            return u"The logon failed.";
        case SEC_E_UNKNOWN_CREDENTIALS:
            return u"Unknown credentials.";
        case SEC_E_NO_CREDENTIALS:
            return u"No credentials are available in the security package.";
        case SEC_E_NO_AUTHENTICATING_AUTHORITY:
            return u"No authority could be contacted for authentication. The domain name of the "
                   u"authenticating "
                   u"party could be wrong, the domain could be unreachable, or there might have "
                   u"been a trust "
                   u"relationship failure.";
        case SEC_E_WRONG_PRINCIPAL:
            return u"The principal that received the authentication request is not the same as the "
                   u"one passed "
                   u"into the pszTargetName parameter. This indicates a failure in mutual "
                   u"authentication";
        default:
            return u"";
    }
}
