// The "NTLM" security package against a real acceptor (python3-gssapi with
// gss-ntlmssp in a child process, with a user file of its own).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "NtlmPeer.h"
#include "platform/Sspi.h"

using namespace platform;

namespace {

using Token = std::vector<std::uint8_t>;

constexpr const char* kServerUsers = "TESTDOM:alice:Secret123\nTESTDOM:bob:Other456\n";

bool IsNtlmMessage(const Token& token, std::uint8_t type) {
    static const std::uint8_t kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
    return token.size() >= 12 && std::memcmp(token.data(), kSignature, 8) == 0 &&
           token[8] == type && token[9] == 0 && token[10] == 0 && token[11] == 0;
}

bool IsEmpty(const SecHandle& h) {
    return h.dwLower == 0 && h.dwUpper == 0;
}

// One step with a package-allocated output token, copied into token.
SECURITY_STATUS Step(CredHandle& credential, CtxtHandle& context, const Token* input, Token& token,
                     ULONG request = ISC_REQ_ALLOCATE_MEMORY, ULONG* attributes = nullptr) {
    SecBuffer in{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 1, &in};
    if (input != nullptr) {
        in.cbBuffer = static_cast<ULONG>(input->size());
        in.pvBuffer = const_cast<std::uint8_t*>(input->data());
    }
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
    ULONG attr = 0;
    TimeStamp expiry{};
    SECURITY_STATUS status = InitializeSecurityContextW(
        &credential, IsEmpty(context) ? nullptr : &context, nullptr, request, 0,
        SECURITY_NATIVE_DREP, input != nullptr ? &inDesc : nullptr, 0, &context, &outDesc, &attr,
        &expiry);
    token.assign(static_cast<std::uint8_t*>(out.pvBuffer),
                 static_cast<std::uint8_t*>(out.pvBuffer) + out.cbBuffer);
    if (out.pvBuffer != nullptr) {
        EXPECT_EQ(FreeContextBuffer(out.pvBuffer), SEC_E_OK);
    }
    if (attributes != nullptr)
        *attributes = attr;
    return status;
}

SECURITY_STATUS Acquire(CredHandle& credential) {
    TimeStamp expiry{};
    return AcquireCredentialsHandleW(nullptr, NTLMSP_NAME_W, SECPKG_CRED_OUTBOUND, nullptr, nullptr,
                                     nullptr, nullptr, &credential, &expiry);
}

// One whole exchange on the credential and a context of its own; the
// acceptor's verdict ("ACCEPTED DOMAIN\user", "REFUSED ...").
std::string LogOn(NtlmAcceptorProcess& acceptor, CredHandle& credential) {
    CtxtHandle context{0, 0};
    Token negotiate, authenticate;
    std::string verdict = "client step failed";
    if (Step(credential, context, nullptr, negotiate) == SEC_I_CONTINUE_NEEDED) {
        std::string reply = acceptor.Negotiate(negotiate);
        if (reply.rfind("CHALLENGE ", 0) != 0) {
            verdict = reply;
        } else {
            Token challenge = BytesOfBase64(reply.substr(10));
            if (Step(credential, context, &challenge, authenticate) == SEC_E_OK)
                verdict = acceptor.Authenticate(authenticate);
        }
    }
    if (!IsEmpty(context))
        DeleteSecurityContext(&context);
    return verdict;
}

class SspiNtlmTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (!IsEmpty(m_context)) {
            EXPECT_EQ(DeleteSecurityContext(&m_context), SEC_E_OK);
        }
        if (!IsEmpty(m_credential)) {
            EXPECT_EQ(FreeCredentialsHandle(&m_credential), SEC_E_OK);
        }
    }

    SECURITY_STATUS Step(const Token* input, Token& token, ULONG request = ISC_REQ_ALLOCATE_MEMORY,
                         ULONG* attributes = nullptr) {
        return ::Step(m_credential, m_context, input, token, request, attributes);
    }

    NtlmUserFiles m_files;
    CredHandle m_credential{0, 0};
    CtxtHandle m_context{0, 0};
};

TEST_F(SspiNtlmTest, FullExchangeIsAcceptedByTheServer) {
    ClientUserFile client(m_files.Write("client", "TESTDOM:alice:Secret123\n"));
    NtlmAcceptorProcess acceptor(m_files.Write("server", kServerUsers));
    ASSERT_TRUE(acceptor.Ready()) << acceptor.Transcript();

    ASSERT_EQ(Acquire(m_credential), SEC_E_OK);
    EXPECT_NE(m_credential.dwLower, 0u);
    EXPECT_NE(m_credential.dwUpper, 0u);

    Token negotiate, authenticate, more;
    ULONG attributes = 0;
    ASSERT_EQ(Step(nullptr, negotiate, ISC_REQ_ALLOCATE_MEMORY, &attributes),
              SEC_I_CONTINUE_NEEDED);
    EXPECT_TRUE(IsNtlmMessage(negotiate, 1));
    EXPECT_NE(attributes & ISC_REQ_ALLOCATE_MEMORY, 0u);
    ASSERT_FALSE(IsEmpty(m_context));

    std::string reply = acceptor.Negotiate(negotiate);
    ASSERT_EQ(reply.rfind("CHALLENGE ", 0), 0u) << reply;
    Token challenge = BytesOfBase64(reply.substr(10));
    ASSERT_TRUE(IsNtlmMessage(challenge, 2));

    ASSERT_EQ(Step(&challenge, authenticate), SEC_E_OK);
    EXPECT_TRUE(IsNtlmMessage(authenticate, 3));
    EXPECT_EQ(acceptor.Authenticate(authenticate), "ACCEPTED TESTDOM\\alice");

    // A completed context takes no further step.
    EXPECT_EQ(Step(&challenge, more), SEC_E_INVALID_HANDLE);
    EXPECT_EQ(CompleteAuthToken(&m_context, nullptr), SEC_E_OK);

    EXPECT_EQ(DeleteSecurityContext(&m_context), SEC_E_OK);
    EXPECT_TRUE(IsEmpty(m_context));
    EXPECT_EQ(FreeCredentialsHandle(&m_credential), SEC_E_OK);
    EXPECT_TRUE(IsEmpty(m_credential));
}

TEST_F(SspiNtlmTest, CredentialsFollowTheUserFileAndOutliveEachOther) {
    std::string path = m_files.Write("client", "TESTDOM:alice:Secret123\n");
    ClientUserFile client(path);
    NtlmAcceptorProcess acceptor(m_files.Write("server", kServerUsers));
    ASSERT_TRUE(acceptor.Ready()) << acceptor.Transcript();

    // Two handles of one user file: the second works after the first is gone.
    CredHandle first{0, 0};
    ASSERT_EQ(Acquire(first), SEC_E_OK);
    ASSERT_EQ(Acquire(m_credential), SEC_E_OK);
    EXPECT_NE(first.dwLower, m_credential.dwLower);
    EXPECT_EQ(FreeCredentialsHandle(&first), SEC_E_OK);
    EXPECT_EQ(LogOn(acceptor, m_credential), "ACCEPTED TESTDOM\\alice");
    ASSERT_EQ(FreeCredentialsHandle(&m_credential), SEC_E_OK);

    // The user of the file is the one who logs on; another user, then a
    // wrong password (which passes the client and is refused by the server):
    // each is noticed at the next acquisition.
    m_files.Write("client", "TESTDOM:bob:Other456\n");
    ASSERT_EQ(Acquire(m_credential), SEC_E_OK);
    EXPECT_EQ(LogOn(acceptor, m_credential), "ACCEPTED TESTDOM\\bob");
    ASSERT_EQ(FreeCredentialsHandle(&m_credential), SEC_E_OK);

    m_files.Write("client", "TESTDOM:bob:Other457\n");
    ASSERT_EQ(Acquire(m_credential), SEC_E_OK);
    EXPECT_EQ(LogOn(acceptor, m_credential).rfind("REFUSED ", 0), 0u);
    ASSERT_EQ(FreeCredentialsHandle(&m_credential), SEC_E_OK);

    std::remove(path.c_str());
    EXPECT_EQ(Acquire(m_credential), SEC_E_NO_CREDENTIALS);
}

TEST_F(SspiNtlmTest, WithoutAUsableUserFileThereAreNoCredentials) {
    const std::pair<const char*, const char*> cases[] = {
        {"missing", nullptr},
        {"empty", ""},
        {"no user line", "this is not a user line\n"},
    };
    for (const auto& [name, content] : cases) {
        SCOPED_TRACE(name);
        std::string path = content != nullptr ? m_files.Write(name, content) : m_files.PathOf(name);
        ClientUserFile client(path);
        EXPECT_EQ(Acquire(m_credential), SEC_E_NO_CREDENTIALS);
        EXPECT_TRUE(IsEmpty(m_credential));
    }
    // The file is looked up at each acquisition: once it exists, it is used.
    ClientUserFile client(m_files.Write("later", "TESTDOM:alice:Secret123\n"));
    EXPECT_EQ(Acquire(m_credential), SEC_E_OK);
}

TEST_F(SspiNtlmTest, OnlyOutboundCredentialsOfTheLoggedOnUser) {
    ClientUserFile client(m_files.Write("client", "TESTDOM:alice:Secret123\n"));
    TimeStamp expiry{};
    EXPECT_EQ(AcquireCredentialsHandleW(nullptr, NTLMSP_NAME_W, SECPKG_CRED_INBOUND, nullptr,
                                        nullptr, nullptr, nullptr, &m_credential, &expiry),
              SEC_E_UNSUPPORTED_FUNCTION);
    char identity[16] = {};
    EXPECT_EQ(AcquireCredentialsHandleW(nullptr, NTLMSP_NAME_W, SECPKG_CRED_OUTBOUND, nullptr,
                                        identity, nullptr, nullptr, &m_credential, &expiry),
              SEC_E_UNSUPPORTED_FUNCTION);
    EXPECT_TRUE(IsEmpty(m_credential));
    EXPECT_EQ(AcquireCredentialsHandleW(nullptr, u"NTLMv3", SECPKG_CRED_OUTBOUND, nullptr, nullptr,
                                        nullptr, nullptr, &m_credential, &expiry),
              SEC_E_SECPKG_NOT_FOUND);

    // Delegation and prompting are refused without making a context.
    ASSERT_EQ(Acquire(m_credential), SEC_E_OK);
    Token token;
    EXPECT_EQ(Step(nullptr, token, ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_DELEGATE),
              SEC_E_UNSUPPORTED_FUNCTION);
    EXPECT_EQ(Step(nullptr, token, ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_PROMPT_FOR_CREDS),
              SEC_E_UNSUPPORTED_FUNCTION);
    EXPECT_TRUE(token.empty());
    EXPECT_TRUE(IsEmpty(m_context));
}

TEST_F(SspiNtlmTest, CallerBufferReceivesTheTokenWhenItFits) {
    ClientUserFile client(m_files.Write("client", "TESTDOM:alice:Secret123\n"));
    ASSERT_EQ(Acquire(m_credential), SEC_E_OK);

    Token small(8, 0xEE);
    SecBuffer out{static_cast<ULONG>(small.size()), SECBUFFER_TOKEN, small.data()};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
    ULONG attr = 0;
    EXPECT_EQ(
        InitializeSecurityContextW(&m_credential, nullptr, nullptr, 0, 0, SECURITY_NATIVE_DREP,
                                   nullptr, 0, &m_context, &outDesc, &attr, nullptr),
        SEC_E_INSUFFICIENT_MEMORY);
    EXPECT_TRUE(IsEmpty(m_context));
    EXPECT_EQ(small, Token(8, 0xEE)) << "nothing is written into a buffer too small";

    Token large(4096, 0);
    out = SecBuffer{static_cast<ULONG>(large.size()), SECBUFFER_TOKEN, large.data()};
    EXPECT_EQ(InitializeSecurityContextW(&m_credential, nullptr, u"smtp/mail.example.org", 0, 0,
                                         SECURITY_NATIVE_DREP, nullptr, 0, &m_context, &outDesc,
                                         &attr, nullptr),
              SEC_I_CONTINUE_NEEDED);
    EXPECT_EQ(out.pvBuffer, large.data());
    large.resize(out.cbBuffer);
    EXPECT_TRUE(IsNtlmMessage(large, 1));
    EXPECT_EQ(attr & ISC_REQ_ALLOCATE_MEMORY, 0u);
}

TEST_F(SspiNtlmTest, MalformedOrMissingTokensAreInvalidTokens) {
    ClientUserFile client(m_files.Write("client", "TESTDOM:alice:Secret123\n"));
    ASSERT_EQ(Acquire(m_credential), SEC_E_OK);

    // No output token buffer at all.
    SecBuffer data{0, SECBUFFER_DATA, nullptr};
    SecBufferDesc noToken{SECBUFFER_VERSION, 1, &data};
    EXPECT_EQ(InitializeSecurityContextW(&m_credential, nullptr, nullptr, ISC_REQ_ALLOCATE_MEMORY,
                                         0, SECURITY_NATIVE_DREP, nullptr, 0, &m_context, &noToken,
                                         nullptr, nullptr),
              SEC_E_INVALID_TOKEN);
    EXPECT_TRUE(IsEmpty(m_context));

    Token negotiate, token;
    ASSERT_EQ(Step(nullptr, negotiate), SEC_I_CONTINUE_NEEDED);
    // The next step needs the server's token.
    EXPECT_EQ(Step(nullptr, token), SEC_E_INVALID_TOKEN);
    // A challenge that is no NTLM message.
    Token garbage = {'n', 'o', 't', ' ', 'n', 't', 'l', 'm', 0, 1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(Step(&garbage, token), SEC_E_INVALID_TOKEN);
    EXPECT_TRUE(token.empty());
    // The context stays for its owner to delete (TearDown).
    EXPECT_FALSE(IsEmpty(m_context));
}

}  // namespace
