// The SASL logins over "AUTH": PLAIN, LOGIN and CRAM-MD5, with the HMAC-MD5
// that CRAM-MD5 answers its challenge with.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "diag/DiagPrint.h"
#include "diag/FunctionTrace.h"
#include "platform/LastError.h"
#include "smtp/MD5.h"
#include "smtp/TSMTPConnection.h"
#include "transport/TSMTPException.h"
#include "transport/TSMTPSSLSocket.h"
#include "vxutil.h"

namespace {

// HMAC block size of MD5.
constexpr int MD5_BLOCK_SIZE = 64;

std::string Utf8(const char16_t* pszText) {
    std::string sBytes;
    if (pszText != nullptr) {
        strWideToAnsi(sBytes, pszText, -1, CP_UTF8, false);
    }
    return sBytes;
}

// One response line: the Base64 of the bytes and a line end.
std::string Base64Line(const std::string& sBytes) {
    std::string sLine;
    EncodeBase64(sLine, reinterpret_cast<const unsigned char*>(sBytes.data()), sBytes.size());
    sLine += "\r\n";
    return sLine;
}

void Wipe(std::string& s) {
    std::fill(s.begin(), s.end(), '\0');
    s.clear();
}

}  // namespace

std::u16string TSMTPConnection::Auth2String(int nAuthType) {
    TFunctionTrace trace(u"TSMTPConnection::Auth2String");
    switch (nAuthType) {
        case CRAM_MD5:
            return u"CRAM-MD5";
        case AUTH_LOGIN:
            return u"LOGIN";
        case AUTH_PLAIN:
            return u"PLAIN";
        case AUTH_NTLM:
            return u"NTLM";
        case AUTH_OAUTH2:
            return u"XOAUTH2";
        default:
            return u"";
    }
}

void TSMTPConnection::MD5Digest(const unsigned char* pData, int nDataLen, const unsigned char* pKey,
                                int nKeyLen, unsigned char digest[16]) {
    TFunctionTrace trace(u"TSMTPConnection::MD5Digest");
    unsigned char keyDigest[16];
    if (nKeyLen > MD5_BLOCK_SIZE) {
        MD5Context keyContext;
        MD5Init(&keyContext);
        MD5Update(&keyContext, pKey, static_cast<std::size_t>(nKeyLen));
        MD5Final(keyDigest, &keyContext);
        pKey = keyDigest;
        nKeyLen = sizeof(keyDigest);
    }

    unsigned char innerPad[MD5_BLOCK_SIZE] = {};
    unsigned char outerPad[MD5_BLOCK_SIZE] = {};
    if (nKeyLen > 0) {
        std::memcpy(innerPad, pKey, static_cast<std::size_t>(nKeyLen));
        std::memcpy(outerPad, pKey, static_cast<std::size_t>(nKeyLen));
    }
    for (int i = 0; i < MD5_BLOCK_SIZE; ++i) {
        innerPad[i] ^= 0x36;
        outerPad[i] ^= 0x5C;
    }

    MD5Context context;
    MD5Init(&context);
    MD5Update(&context, innerPad, MD5_BLOCK_SIZE);
    if (nDataLen > 0) {
        MD5Update(&context, pData, static_cast<std::size_t>(nDataLen));
    }
    unsigned char innerDigest[16];
    MD5Final(innerDigest, &context);

    MD5Init(&context);
    MD5Update(&context, outerPad, MD5_BLOCK_SIZE);
    MD5Update(&context, innerDigest, sizeof(innerDigest));
    MD5Final(digest, &context);

    // The pads and the hashed key are derived from the password.
    std::memset(innerPad, 0, sizeof(innerPad));
    std::memset(outerPad, 0, sizeof(outerPad));
    std::memset(keyDigest, 0, sizeof(keyDigest));
}

std::u16string TSMTPConnection::ChallengeText(const std::u16string& sResponse) {
    std::u16string sText = sResponse;
    trim(sText, u" \t\r\n", true, true);
    // "334 " and the challenge; a bare "334" has none to answer.
    if (sText.size() <= 4) {
        platform::SetLastError(0);
        throw TSMTPException(3, u"The server's reply carries no challenge. Last Response : %s",
                             sResponse.c_str());
    }
    std::u16string sChallenge = sText.substr(4);
    trim(sChallenge, u" \t", true, true);
    return sChallenge;
}

std::string TSMTPConnection::DecodeChallenge(const std::u16string& sResponse) {
    const std::u16string sBase64 = ChallengeText(sResponse);
    std::vector<unsigned char> buffer((sBase64.size() * 3) / 4 + 3);
    const int nLength =
        DecodeBase64(buffer.data(), sBase64.c_str(), static_cast<int>(sBase64.size()));
    if (nLength < 0) {
        throw TSMTPException(3, u"The server's challenge is not valid Base64. Last Response : %s",
                             sResponse.c_str());
    }
    return std::string(reinterpret_cast<const char*>(buffer.data()),
                       static_cast<std::size_t>(nLength));
}

void TSMTPConnection::AuthLogin(const char16_t* pszUser, const char16_t* pszPassword) {
    TFunctionTrace trace(u"TSMTPConnection::AuthLogin");
    try {
        if (!HasSocket()) {
            throw TSMTPException(3, u"Socked not created!");
        }
        std::u16string sResponse;
        SendCommand(std::u16string(u"AUTH LOGIN\r\n"));
        if (!ReadCommandResponse(334, sResponse)) {
            throw TSMTPException(3, u"Unexpected AUTH LOGIN response. Last Response : %s",
                                 sResponse.c_str());
        }

        // The prompts are compared without regard to case, and nothing else.
        auto prompt = [this](const std::u16string& sReply) {
            const std::string sBytes = DecodeChallenge(sReply);
            std::u16string sPrompt;
            strAnsiToWide(sPrompt, sBytes.data(), static_cast<int>(sBytes.size()), CP_ACP, false);
            to_lower(sPrompt);
            return sPrompt;
        };
        if (prompt(sResponse) != u"username:") {
            throw TSMTPException(3, u"Unexpected AUTH LOGIN username request. Last Response : %s",
                                 sResponse.c_str());
        }

        std::string sUser = Utf8(pszUser);
        SendCommand(Base64Line(sUser));
        sResponse.clear();
        if (!ReadCommandResponse(334, sResponse)) {
            throw TSMTPException(3, u"Unexpected AUTH LOGIN username response. Last Response : %s",
                                 sResponse.c_str());
        }
        if (prompt(sResponse) != u"password:") {
            throw TSMTPException(3, u"Unexpected AUTH LOGIN password request. Last Response : %s",
                                 sResponse.c_str());
        }

        std::string sPassword = Utf8(pszPassword);
        std::string sLine = Base64Line(sPassword);
        SendCommand(sLine);
        Wipe(sPassword);
        Wipe(sLine);
        sResponse.clear();
        if (!ReadCommandResponse(235, sResponse)) {
            throw TSMTPException(3, u"Unexpected AUTH LOGIN password response. Last Response : %s",
                                 sResponse.c_str());
        }
    } catch (const TSMTPException& e) {
        DiagPrint(u"%s", e.GetErrorText().c_str());
        throw;
    }
}

void TSMTPConnection::AuthPlain(const char16_t* pszUser, const char16_t* pszPassword) {
    TFunctionTrace trace(u"TSMTPConnection::AuthPlain");
    try {
        if (!HasSocket()) {
            throw TSMTPException(3, u"Socked not created!");
        }
        std::u16string sResponse;
        SendCommand(std::string("AUTH PLAIN\r\n"));
        if (!ReadCommandResponse(334, sResponse)) {
            throw TSMTPException(3, u"Unexpected AUTH PLAIN response. Last Response : %s",
                                 sResponse.c_str());
        }

        // RFC 4616 with an empty authorisation identity: NUL user NUL password.
        std::string sMessage;
        sMessage += '\0';
        sMessage += Utf8(pszUser);
        sMessage += '\0';
        sMessage += Utf8(pszPassword);
        std::string sLine = Base64Line(sMessage);
        SendCommand(sLine);
        Wipe(sMessage);
        Wipe(sLine);

        sResponse.clear();
        if (!ReadCommandResponse(235, sResponse)) {
            throw TSMTPException(3, u"Unexpected AUTH PLAIN password response. Last Response : %s",
                                 sResponse.c_str());
        }
    } catch (const TSMTPException& e) {
        DiagPrint(u"%s", e.GetErrorText().c_str());
        throw;
    }
}

void TSMTPConnection::AuthCramMD5(const char16_t* pszUser, const char16_t* pszPassword) {
    TFunctionTrace trace(u"TSMTPConnection::AuthCramMD5");
    try {
        if (!HasSocket()) {
            throw TSMTPException(3, u"Socked not created!");
        }
        std::u16string sResponse;
        SendCommand(std::string("AUTH CRAM-MD5\r\n"));
        if (!ReadCommandResponse(334, sResponse)) {
            throw TSMTPException(3, u"Unexpected AUTH CRAM_MD5 response.");
        }

        // The challenge bytes are hashed as they came, without conversion.
        const std::string sChallenge = DecodeChallenge(sResponse);
        std::string sKey = Utf8(pszPassword);
        unsigned char digest[16];
        MD5Digest(reinterpret_cast<const unsigned char*>(sChallenge.data()),
                  static_cast<int>(sChallenge.size()),
                  reinterpret_cast<const unsigned char*>(sKey.data()),
                  static_cast<int>(sKey.size()), digest);
        Wipe(sKey);

        static const char kHex[] = "0123456789abcdef";
        std::string sAnswer = Utf8(pszUser);
        sAnswer += ' ';
        for (unsigned char b : digest) {
            sAnswer += kHex[b >> 4];
            sAnswer += kHex[b & 0x0F];
        }
        SendCommand(Base64Line(sAnswer));

        sResponse.clear();
        if (!ReadCommandResponse(235, sResponse)) {
            throw TSMTPException(3, u"TSMTPConnection::AuthCramMD5; Authentication unsuccesful!");
        }
    } catch (const TSMTPException& e) {
        DiagPrint(u"%s", e.GetErrorText().c_str());
        throw;
    }
}
