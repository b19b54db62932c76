// TAuthentication against a real NTLM acceptor (python3-gssapi with
// gss-ntlmssp in a child process). The client's credentials come from its own
// user file, the acceptor's from another.
#include "smtp/TAuthentication.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "CaughtException.h"
#include "GssMechanismLeaks.h"
#include "LogCapture.h"
#include "NtlmPeer.h"
#include "transport/TSMTPException.h"

using namespace platform;

namespace {

constexpr const char* kServerUsers = "TESTDOM:alice:Secret123\n";
constexpr DWORD kChallengeBufferSize = 15000;

// Frees a token buffer handed out by TAuthentication, on every way out of a test.
struct Token {
    BYTE* p = nullptr;
    DWORD cb = 0;
    ~Token() { delete[] p; }
    std::vector<std::uint8_t> Bytes() const { return std::vector<std::uint8_t>(p, p + cb); }
};

bool IsNtlmMessage(const Token& token, std::uint8_t type) {
    return token.p != nullptr && token.cb >= 12 && std::memcmp(token.p, "NTLMSSP\0", 8) == 0 &&
           token.p[8] == type;
}

bool IsEmpty(const SecHandle& h) {
    return h.dwLower == 0 && h.dwUpper == 0;
}

// Negotiate, challenge and authenticate tokens between the object and the
// acceptor; the acceptor's verdict.
std::string Exchange(TAuthentication& auth, NtlmAcceptorProcess& acceptor) {
    Token negotiate, challenge, authenticate;
    EXPECT_TRUE(auth.NTLMHandshakeMessage1(&negotiate.p, &negotiate.cb));
    std::string reply = acceptor.Negotiate(negotiate.Bytes());
    if (reply.rfind("CHALLENGE ", 0) != 0)
        return reply;
    EXPECT_TRUE(auth.NTLMHandshakeMessage2(reply.substr(10), &challenge.p, &challenge.cb));
    EXPECT_TRUE(auth.NTLMHandshakeMessage3(challenge.p, static_cast<int>(challenge.cb),
                                           &authenticate.p, &authenticate.cb));
    return acceptor.Authenticate(authenticate.Bytes());
}

class TAuthenticationTest : public ::testing::Test {
protected:
    void UseClientUsers(const std::string& content) {
        m_client = std::make_unique<ClientUserFile>(m_files.Write("client", content));
    }

    NtlmUserFiles m_files;
    std::unique_ptr<ClientUserFile> m_client;
};

TEST_F(TAuthenticationTest, TokensOfTheLoggedOnUserAreJudgedByTheServer) {
    UseClientUsers("TESTDOM:alice:Secret123\n");
    NtlmAcceptorProcess acceptor(m_files.Write("server", kServerUsers));
    ASSERT_TRUE(acceptor.Ready()) << acceptor.Transcript();

    TAuthentication auth;
    Token negotiate;
    ASSERT_TRUE(auth.NTLMHandshakeMessage1(&negotiate.p, &negotiate.cb));
    EXPECT_TRUE(IsNtlmMessage(negotiate, 1));
    EXPECT_FALSE(IsEmpty(auth.m_hCredential));
    EXPECT_FALSE(IsEmpty(auth.m_hSecContext));

    std::string reply = acceptor.Negotiate(negotiate.Bytes());
    ASSERT_EQ(reply.rfind("CHALLENGE ", 0), 0u) << reply;
    std::string challengeText = reply.substr(10);
    std::vector<std::uint8_t> expected = BytesOfBase64(challengeText);

    Token challenge;
    ASSERT_TRUE(auth.NTLMHandshakeMessage2(challengeText, &challenge.p, &challenge.cb));
    ASSERT_EQ(challenge.cb, expected.size());
    EXPECT_EQ(challenge.Bytes(), expected);
    // The rest of the fixed-size buffer stays zero.
    EXPECT_TRUE(std::all_of(challenge.p + challenge.cb, challenge.p + kChallengeBufferSize,
                            [](BYTE b) { return b == 0; }));

    Token authenticate;
    ASSERT_TRUE(auth.NTLMHandshakeMessage3(challenge.p, static_cast<int>(challenge.cb),
                                           &authenticate.p, &authenticate.cb));
    EXPECT_TRUE(IsNtlmMessage(authenticate, 3));
    EXPECT_EQ(acceptor.Authenticate(authenticate.Bytes()), "ACCEPTED TESTDOM\\alice");

    // A second negotiate starts a fresh exchange, after one left unfinished.
    TAuthentication again;
    Token unused;
    ASSERT_TRUE(again.NTLMHandshakeMessage1(&unused.p, &unused.cb));
    EXPECT_EQ(Exchange(again, acceptor), "ACCEPTED TESTDOM\\alice");

    // A wrong password passes the client and is refused by the server.
    m_files.Write("client", "TESTDOM:alice:Wrong\n");
    TAuthentication wrong;
    EXPECT_EQ(Exchange(wrong, acceptor).rfind("REFUSED ", 0), 0u);
}

TEST_F(TAuthenticationTest, NoUserFileMeansNoCredentials) {
    m_client = std::make_unique<ClientUserFile>(m_files.PathOf("does-not-exist"));
    LogCapture log;
    TAuthentication auth;
    Token negotiate;
    auto e = Catch([&] { auth.NTLMHandshakeMessage1(&negotiate.p, &negotiate.cb); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->m_nKind, 3);
    EXPECT_EQ(e->m_strMessage, u"No credentials are available in the security package.");
    EXPECT_EQ(negotiate.p, nullptr);
    EXPECT_TRUE(IsEmpty(auth.m_hCredential));
    // The step writes the failure before it passes it on.
    EXPECT_TRUE(log.Contains(u"No credentials are available in the security package."))
        << log.Dump();
}

TEST_F(TAuthenticationTest, BadArgumentsAllocateNothing) {
    UseClientUsers("TESTDOM:alice:Secret123\n");
    TAuthentication auth;
    BYTE held[4] = {1, 2, 3, 4};
    BYTE* pHeld = held;
    DWORD cb = 77;
    BYTE* pNone = nullptr;
    BYTE challenge[16] = {};

    const std::vector<std::pair<const char*, std::function<void()>>> calls = {
        {"1: buffer held", [&] { auth.NTLMHandshakeMessage1(&pHeld, &cb); }},
        {"1: no buffer pointer", [&] { auth.NTLMHandshakeMessage1(nullptr, &cb); }},
        {"1: no length", [&] { auth.NTLMHandshakeMessage1(&pNone, nullptr); }},
        {"2: buffer held", [&] { auth.NTLMHandshakeMessage2("TlRMTVNTUAA=", &pHeld, &cb); }},
        {"2: no buffer pointer", [&] { auth.NTLMHandshakeMessage2("TlRMTVNTUAA=", nullptr, &cb); }},
        {"2: no length", [&] { auth.NTLMHandshakeMessage2("TlRMTVNTUAA=", &pNone, nullptr); }},
        {"3: buffer held", [&] { auth.NTLMHandshakeMessage3(challenge, 16, &pHeld, &cb); }},
        {"3: no challenge", [&] { auth.NTLMHandshakeMessage3(nullptr, 16, &pNone, &cb); }},
        {"3: empty challenge", [&] { auth.NTLMHandshakeMessage3(challenge, 0, &pNone, &cb); }},
        {"3: negative length", [&] { auth.NTLMHandshakeMessage3(challenge, -1, &pNone, &cb); }},
        {"3: no length", [&] { auth.NTLMHandshakeMessage3(challenge, 16, &pNone, nullptr); }},
    };
    for (const auto& [name, call] : calls) {
        SCOPED_TRACE(name);
        auto e = Catch(call);
        ASSERT_TRUE(e);
        EXPECT_EQ(e->m_nKind, 3);
        EXPECT_EQ(e->m_strMessage, u"Invalid input parameter.");
        EXPECT_EQ(pHeld, held);
        EXPECT_EQ(pNone, nullptr);
        EXPECT_EQ(cb, 77u);
        // Refused before the package was asked for anything.
        EXPECT_TRUE(IsEmpty(auth.m_hCredential));
        EXPECT_TRUE(IsEmpty(auth.m_hSecContext));
    }
}

TEST_F(TAuthenticationTest, ChallengeIsDecodedIntoA15000ByteBuffer) {
    std::vector<std::uint8_t> fits(kChallengeBufferSize);
    for (size_t i = 0; i < fits.size(); ++i)
        fits[i] = static_cast<std::uint8_t>(i * 7 + 1);
    TAuthentication auth;
    Token challenge;
    ASSERT_TRUE(auth.NTLMHandshakeMessage2(Base64Of(fits), &challenge.p, &challenge.cb));
    EXPECT_EQ(challenge.cb, kChallengeBufferSize);
    EXPECT_EQ(challenge.Bytes(), fits);

    // Text that is not Base64, and one byte more than the buffer or many more,
    // are refused without writing past the buffer (the sanitizer build checks
    // the "without").
    const std::string tooLong = Base64Of(std::vector<std::uint8_t>(kChallengeBufferSize + 1, 1));
    const std::string muchTooLong = Base64Of(std::vector<std::uint8_t>(40000, 2));
    for (const std::string& text :
         {std::string("TlRMTVNTUAACAAAA!!not*base64!!"), std::string("TlRMT"), std::string("===="),
          std::string("TlRM\x01TVNT"), tooLong, muchTooLong}) {
        SCOPED_TRACE(text.substr(0, 40));
        TAuthentication other;
        Token refused;
        auto e = Catch([&] { other.NTLMHandshakeMessage2(text, &refused.p, &refused.cb); });
        ASSERT_TRUE(e);
        EXPECT_EQ(e->m_nKind, 3);
        EXPECT_NE(e->m_strMessage.find(text.size() > 100 ? u"15000" : u"Base64"),
                  std::u16string::npos);
        EXPECT_EQ(refused.cb, 0u);
    }
}

TEST_F(TAuthenticationTest, AuthenticateTokenNeedsANegotiateAndAnNtlmChallenge) {
    UseClientUsers("TESTDOM:alice:Secret123\n");
    TAuthentication auth;
    Token negotiate, challenge, authenticate;
    BYTE ntlmChallenge[48] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0, 2};
    auto e = Catch(
        [&] { auth.NTLMHandshakeMessage3(ntlmChallenge, 48, &authenticate.p, &authenticate.cb); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->m_strMessage, u"The handle passed to the function is invalid.");

    ASSERT_TRUE(auth.NTLMHandshakeMessage1(&negotiate.p, &negotiate.cb));
    ASSERT_TRUE(auth.NTLMHandshakeMessage2(Base64Of("no NTLM message, really", 23), &challenge.p,
                                           &challenge.cb));
    e = Catch([&] {
        auth.NTLMHandshakeMessage3(challenge.p, static_cast<int>(challenge.cb), &authenticate.p,
                                   &authenticate.cb);
    });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->m_nKind, 3);
    EXPECT_EQ(e->m_strMessage, TAuthentication::PoptSecrityError(SEC_E_INVALID_TOKEN));
    EXPECT_EQ(authenticate.p, nullptr);
    // The handles stay with the object, whose destructor releases them.
    EXPECT_FALSE(IsEmpty(auth.m_hSecContext));
}

TEST(TAuthenticationStatusTest, StatusTexts) {
    EXPECT_EQ(TAuthentication::PoptSecrityError(SEC_E_NO_CREDENTIALS),
              u"No credentials are available in the security package.");
    EXPECT_EQ(TAuthentication::PoptSecrityError(SEC_E_LOGON_DENIED), u"The logon failed.");
    EXPECT_EQ(TAuthentication::PoptSecrityError(SEC_E_UNKNOWN_CREDENTIALS),
              u"Unknown credentials.");
    EXPECT_EQ(TAuthentication::PoptSecrityError(SEC_E_TARGET_UNKNOWN),
              u"The target was not recognized.");
    EXPECT_EQ(TAuthentication::PoptSecrityError(SEC_E_INVALID_TOKEN)
                  .rfind(u"The error is due to a malformed input "
                         u"token, such as",
                         0),
              0u);
    // The one text without a final full stop.
    std::u16string wrongPrincipal = TAuthentication::PoptSecrityError(SEC_E_WRONG_PRINCIPAL);
    EXPECT_TRUE(wrongPrincipal.ends_with(u"This indicates a failure in mutual authentication"));

    // Every status of the table has its own text; anything else has none.
    const SECURITY_STATUS table[] = {
        SEC_E_INSUFFICIENT_MEMORY, SEC_E_INVALID_HANDLE, SEC_E_UNSUPPORTED_FUNCTION,
        SEC_E_TARGET_UNKNOWN,      SEC_E_INTERNAL_ERROR, SEC_E_SECPKG_NOT_FOUND,
        SEC_E_NOT_OWNER,           SEC_E_INVALID_TOKEN,  SEC_E_LOGON_DENIED,
        SEC_E_UNKNOWN_CREDENTIALS, SEC_E_NO_CREDENTIALS, SEC_E_NO_AUTHENTICATING_AUTHORITY,
        SEC_E_WRONG_PRINCIPAL};
    std::vector<std::u16string> texts;
    for (SECURITY_STATUS s : table) {
        std::u16string text = TAuthentication::PoptSecrityError(s);
        EXPECT_FALSE(text.empty()) << std::hex << s;
        EXPECT_EQ(std::count(texts.begin(), texts.end(), text), 0) << std::hex << s;
        texts.push_back(text);
    }
    for (SECURITY_STATUS s : {SEC_E_OK, SEC_I_CONTINUE_NEEDED, SEC_E_MESSAGE_ALTERED,
                              SEC_E_INCOMPLETE_MESSAGE, static_cast<SECURITY_STATUS>(0x80090307u)})
        EXPECT_EQ(TAuthentication::PoptSecrityError(s), u"") << std::hex << s;
}

}  // namespace
