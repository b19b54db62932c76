// The client's NTLM tokens for "AUTH NTLM" through the security package
// interface, with the credentials of the logged-on user (single sign-on).
#pragma once

#include <string>

#include "platform/Sspi.h"
#include "platform/WinTypes.h"

class TAuthentication {
public:
    TAuthentication();
    ~TAuthentication();
    TAuthentication(const TAuthentication&) = delete;
    TAuthentication& operator=(const TAuthentication&) = delete;

    // Each hands out a buffer allocated with new[]; the caller deletes it with delete[].
    bool NTLMHandshakeMessage1(BYTE** ppOutBuffer, DWORD* pcbOutBuffer);
    bool NTLMHandshakeMessage2(std::string sChallenge, BYTE** ppOutBuffer, DWORD* pcbOutBuffer);
    bool NTLMHandshakeMessage3(const BYTE* pChallenge, int cbChallenge, BYTE** ppOutBuffer,
                               DWORD* pcbOutBuffer);

    static std::u16string PoptSecrityError(platform::SECURITY_STATUS status);

    platform::CredHandle m_hCredential;
    platform::CtxtHandle m_hSecContext;
};
