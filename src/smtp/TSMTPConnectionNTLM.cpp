// AUTH NTLM: the client's tokens come from TAuthentication with the logged-on
// user's credentials; the session only frames them as Base64 lines.
#include <string>

#include "diag/DiagPrint.h"
#include "diag/FunctionTrace.h"
#include "smtp/TAuthentication.h"
#include "smtp/TSMTPConnection.h"
#include "transport/TSMTPException.h"
#include "vxutil.h"

namespace {

// A token buffer handed out by TAuthentication, released on every way out.
struct TokenBuffer {
    BYTE* p = nullptr;
    DWORD cb = 0;
    TokenBuffer() = default;
    TokenBuffer(const TokenBuffer&) = delete;
    TokenBuffer& operator=(const TokenBuffer&) = delete;
    ~TokenBuffer() { Release(); }
    void Release() {
        delete[] p;
        p = nullptr;
        cb = 0;
    }
};

}  // namespace

bool TSMTPConnection::AuthenticateNTLM() {
    bool bResult = false;
    TFunctionTrace trace(u"TSMTPConnection::AuthenticateNTLM");
    trace.Bind(&bResult);
    try {
        if (!HasSocket())
            throw TSMTPException(3, u"Socked not created!.");

        TAuthentication auth;
        TokenBuffer negotiate;
        if (!auth.NTLMHandshakeMessage1(&negotiate.p, &negotiate.cb))
            throw TSMTPException(
                3, u"TSMTPConnection::AuthenticateNTLM; Cannot create Type-1 message!");

        // The negotiate token is the initial response of the AUTH command itself.
        std::string sLine;
        EncodeBase64(sLine, negotiate.p, negotiate.cb);
        sLine = "AUTH NTLM " + sLine + "\r\n";
        SendCommand(sLine);
        negotiate.Release();

        std::u16string sResponse;
        if (!ReadCommandResponse(334, sResponse))
            throw TSMTPException(
                3, u"TSMTPConnection::AuthenticateNTLM; Unrecognized authentication type!");

        const std::u16string sChallengeW = ChallengeText(sResponse);
        std::string sChallenge;
        strWideToAnsi(sChallenge, sChallengeW.c_str(), -1, CP_UTF8, false);

        TokenBuffer challenge;
        if (!auth.NTLMHandshakeMessage2(sChallenge, &challenge.p, &challenge.cb))
            throw TSMTPException(
                3, u"TSMTPConnection::AuthenticateNTLM; Cannot create Type-2 message!");

        TokenBuffer authenticate;
        if (!auth.NTLMHandshakeMessage3(challenge.p, static_cast<int>(challenge.cb),
                                        &authenticate.p, &authenticate.cb))
            throw TSMTPException(
                3, u"TSMTPConnection::AuthenticateNTLM; Cannot create Type-3 message!");

        EncodeBase64(sLine, authenticate.p, authenticate.cb);
        sLine += "\r\n";
        SendCommand(sLine);
        authenticate.Release();

        sResponse.clear();
        if (!ReadCommandResponse(235, sResponse))
            throw TSMTPException(3,
                                 u"TSMTPConnection::AuthenticateNTLM; Authentication unsuccesful!");

        bResult = true;
        return bResult;
    } catch (TSMTPException& e) {
        DiagPrint(u"%s", e.GetErrorText().c_str());
        throw;
    }
}
