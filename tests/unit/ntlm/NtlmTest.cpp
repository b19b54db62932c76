// The "NTLM" package (GSSAPI's NTLMSSP) with the logged-on user of
// NTLM_USER_FILE, and TAuthentication's checks; exchanges are the send tests'.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <vector>

#include "CaughtException.h"
#include "Environment.h"
#include "GssMechanismLeaks.h"
#include "ScratchDir.h"
#include "platform/Sspi.h"
#include "smtp/TAuthentication.h"
#include "vxutil.h"

using namespace platform;

namespace {

using Token = std::vector<std::uint8_t>;

bool IsNtlmMessage(const Token& token, std::uint8_t type) {
    return token.size() >= 12 && std::memcmp(token.data(), "NTLMSSP\0", 8) == 0 &&
           token[8] == type && token[9] == 0 && token[10] == 0 && token[11] == 0;
}

bool IsEmpty(const SecHandle& h) {
    return h.dwLower == 0 && h.dwUpper == 0;
}

class NtlmTest : public ::testing::Test {
protected:
    void SetUp() override { WriteBytes(m_users, "TESTDOM:alice:Secret123\n"); }
    void TearDown() override {
        EXPECT_TRUE(IsEmpty(m_context) || DeleteSecurityContext(&m_context) == SEC_E_OK);
        EXPECT_TRUE(IsEmpty(m_credential) || FreeCredentialsHandle(&m_credential) == SEC_E_OK);
    }

    SECURITY_STATUS Acquire() {
        TimeStamp expiry{};
        return AcquireCredentialsHandleW(nullptr, NTLMSP_NAME_W, SECPKG_CRED_OUTBOUND, nullptr,
                                         nullptr, nullptr, nullptr, &m_credential, &expiry);
    }
    SECURITY_STATUS Step(const Token* input, Token& token,
                         ULONG request = ISC_REQ_ALLOCATE_MEMORY) {
        SecBuffer in{input ? static_cast<ULONG>(input->size()) : 0, SECBUFFER_TOKEN,
                     input ? const_cast<std::uint8_t*>(input->data()) : nullptr};
        SecBufferDesc inDesc{SECBUFFER_VERSION, 1, &in};
        SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
        ULONG attr = 0;
        const SECURITY_STATUS status = InitializeSecurityContextW(
            &m_credential, IsEmpty(m_context) ? nullptr : &m_context, nullptr, request, 0,
            SECURITY_NATIVE_DREP, input ? &inDesc : nullptr, 0, &m_context, &outDesc, &attr,
            nullptr);
        token.assign(static_cast<std::uint8_t*>(out.pvBuffer),
                     static_cast<std::uint8_t*>(out.pvBuffer) + out.cbBuffer);
        EXPECT_TRUE(out.pvBuffer == nullptr || FreeContextBuffer(out.pvBuffer) == SEC_E_OK);
        return status;
    }

    ScratchDir m_dir;
    const std::string m_users = m_dir.File("users");
    ScopedEnv m_env{{"NTLM_USER_FILE", m_users.c_str()}};
    CredHandle m_credential{0, 0};
    CtxtHandle m_context{0, 0};
};

}  // namespace

TEST_F(NtlmTest, CredentialsAreTheLoggedOnUsersAndTheirTokens) {
    for (const char* users : {"", "this is not a user line\n", static_cast<const char*>(nullptr)}) {
        SCOPED_TRACE(users ? users : "no file");
        if (users != nullptr)
            WriteBytes(m_users, users);
        else
            std::filesystem::remove(m_users);
        EXPECT_EQ(Acquire(), SEC_E_NO_CREDENTIALS);
        EXPECT_TRUE(IsEmpty(m_credential));
    }
    // The file is looked up at each acquisition: once it is there, it is used.
    WriteBytes(m_users, "TESTDOM:alice:Secret123\n");
    ASSERT_EQ(Acquire(), SEC_E_OK);
    Token negotiate, sealed, token;
    ASSERT_EQ(Step(nullptr, negotiate), SEC_I_CONTINUE_NEEDED);
    EXPECT_TRUE(IsNtlmMessage(negotiate, 1));
    const auto flags = [](const Token& t) {
        return t[12] | t[13] << 8 | t[14] << 16 | t[15] << 24;
    };
    constexpr unsigned kSeal = 0x20;  // NTLMSSP_NEGOTIATE_SEAL
    EXPECT_EQ(flags(negotiate) & kSeal, 0u);
    DeleteSecurityContext(&m_context);
    m_context = {0, 0};
    ASSERT_EQ(Step(nullptr, sealed, ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_CONFIDENTIALITY),
              SEC_I_CONTINUE_NEEDED);
    EXPECT_EQ(flags(sealed) & kSeal, kSeal);
    EXPECT_EQ(Step(nullptr, token), SEC_E_INVALID_TOKEN);
    const Token garbage = {'n', 'o', 't', ' ', 'n', 't', 'l', 'm', 0, 1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(Step(&garbage, token), SEC_E_INVALID_TOKEN);
    EXPECT_TRUE(token.empty());
    EXPECT_FALSE(IsEmpty(m_context)) << "the context stays for its owner (TearDown) to delete";
}

namespace {

struct Buffer {
    BYTE* p = nullptr;
    DWORD cb = 0;
    ~Buffer() { delete[] p; }
    Token Bytes() const { return Token(p, p + cb); }
};

std::string Base64Of(const Token& bytes) {
    std::string text;
    EncodeBase64(text, bytes.data(), bytes.size());
    return text;
}

}  // namespace

TEST_F(NtlmTest, AuthenticationRefusesBadArgumentsBeforeAskingThePackage) {
    TAuthentication auth;
    BYTE held[4] = {1, 2, 3, 4};
    BYTE* pHeld = held;
    BYTE* pNone = nullptr;
    DWORD cb = 77;
    BYTE challenge[16] = {};
    const std::vector<std::function<void()>> calls = {
        [&] { auth.NTLMHandshakeMessage1(&pHeld, &cb); },
        [&] { auth.NTLMHandshakeMessage1(nullptr, &cb); },
        [&] { auth.NTLMHandshakeMessage1(&pNone, nullptr); },
        [&] { auth.NTLMHandshakeMessage2("TlRMTVNTUAA=", &pHeld, &cb); },
        [&] { auth.NTLMHandshakeMessage2("TlRMTVNTUAA=", nullptr, &cb); },
        [&] { auth.NTLMHandshakeMessage2("TlRMTVNTUAA=", &pNone, nullptr); },
        [&] { auth.NTLMHandshakeMessage3(challenge, 16, &pHeld, &cb); },
        [&] { auth.NTLMHandshakeMessage3(nullptr, 16, &pNone, &cb); },
        [&] { auth.NTLMHandshakeMessage3(challenge, 0, &pNone, &cb); },
        [&] { auth.NTLMHandshakeMessage3(challenge, -1, &pNone, &cb); },
        [&] { auth.NTLMHandshakeMessage3(challenge, 16, &pNone, nullptr); },
    };
    for (size_t i = 0; i < calls.size(); ++i) {
        auto e = Catch(calls[i]);
        ASSERT_TRUE(e) << i;
        EXPECT_EQ(e->m_nKind, 3);
        EXPECT_EQ(e->m_strMessage, u"Invalid input parameter.");
        EXPECT_TRUE(pHeld == held && pNone == nullptr && cb == 77u) << i;
        EXPECT_TRUE(IsEmpty(auth.m_hCredential) && IsEmpty(auth.m_hSecContext)) << i;
    }
}

// The challenge is decoded into a 15000-byte buffer; text that is not Base64,
// or longer, is refused without writing past it (the sanitizer build checks).
TEST_F(NtlmTest, ChallengesAndTheAuthenticateToken) {
    Token fits(15000);
    for (size_t i = 0; i < fits.size(); ++i)
        fits[i] = static_cast<std::uint8_t>(i * 7 + 1);
    TAuthentication auth;
    Buffer challenge;
    ASSERT_TRUE(auth.NTLMHandshakeMessage2(Base64Of(fits), &challenge.p, &challenge.cb));
    EXPECT_EQ(challenge.Bytes(), fits);
    Buffer small;
    ASSERT_TRUE(TAuthentication().NTLMHandshakeMessage2("TlRMTVNTUAA=", &small.p, &small.cb));
    EXPECT_EQ(small.cb, 8u);
    EXPECT_TRUE(std::all_of(small.p + 8, small.p + 15000, [](BYTE b) { return b == 0; }));
    for (const std::string& text : {std::string("TlRMT"), std::string("===="),
                                    std::string("TlRM\x01TVNT"), Base64Of(Token(15001, 1))}) {
        TAuthentication other;
        Buffer refused;
        auto e = Catch([&] { other.NTLMHandshakeMessage2(text, &refused.p, &refused.cb); });
        ASSERT_TRUE(e) << text.substr(0, 40);
        EXPECT_EQ(e->m_nKind, 3);
        EXPECT_NE(e->m_strMessage.find(text.size() > 100 ? u"15000" : u"Base64"),
                  std::u16string::npos);
        EXPECT_EQ(refused.cb, 0u);
    }

    Buffer negotiate, authenticate;
    BYTE ntlmChallenge[48] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0, 2};
    EXPECT_EQ(Thrown(Catch([&] {
                  auth.NTLMHandshakeMessage3(ntlmChallenge, 48, &authenticate.p, &authenticate.cb);
              })),
              u"The handle passed to the function is invalid.");
    ASSERT_TRUE(auth.NTLMHandshakeMessage1(&negotiate.p, &negotiate.cb));
    EXPECT_TRUE(IsNtlmMessage(negotiate.Bytes(), 1));
    EXPECT_EQ(Thrown(Catch([&] {
                  auth.NTLMHandshakeMessage3(challenge.p, static_cast<int>(challenge.cb),
                                             &authenticate.p, &authenticate.cb);
              })),
              TAuthentication::PoptSecrityError(SEC_E_INVALID_TOKEN));
    EXPECT_EQ(authenticate.p, nullptr);
    // The statuses the table knows have texts of their own.
    EXPECT_EQ(TAuthentication::PoptSecrityError(SEC_E_NO_CREDENTIALS),
              u"No credentials are available in the security package.");
    EXPECT_EQ(TAuthentication::PoptSecrityError(SEC_E_LOGON_DENIED), u"The logon failed.");
    for (SECURITY_STATUS s : {SEC_E_OK, SEC_I_CONTINUE_NEEDED, SEC_E_MESSAGE_ALTERED,
                              SEC_E_INCOMPLETE_MESSAGE, static_cast<SECURITY_STATUS>(0x80090307u)})
        EXPECT_EQ(TAuthentication::PoptSecrityError(s), u"") << std::hex << s;
}
