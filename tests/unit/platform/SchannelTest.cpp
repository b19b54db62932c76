// The emulated package against an OpenSSL server in memory: exact records.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "Environment.h"
#include "ScratchDir.h"
#include "platform/Certificates.h"
#include "platform/DynamicLibrary.h"
#include "platform/Sspi.h"
#include "platform/posix/TlsRecord_posix.h"

using namespace platform;

namespace {

using Bytes = std::vector<BYTE>;

class MemoryServer {
public:
    explicit MemoryServer(int version, const char* cipherList = nullptr) {
        ctx = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_chain_file(ctx, TestCertificate("server.pem").c_str());
        SSL_CTX_use_PrivateKey_file(ctx, TestCertificate("server.key").c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_set_min_proto_version(ctx, version);
        SSL_CTX_set_max_proto_version(ctx, version);
        if (cipherList != nullptr)
            SSL_CTX_set_cipher_list(ctx, cipherList);
        ssl = SSL_new(ctx);
        rbio = BIO_new(BIO_s_mem());
        wbio = BIO_new(BIO_s_mem());
        SSL_set_bio(ssl, rbio, wbio);
        SSL_set_accept_state(ssl);
    }
    ~MemoryServer() {
        SSL_free(ssl);
        SSL_CTX_free(ctx);
        ERR_clear_error();
    }
    void Feed(const Bytes& b) { BIO_write(rbio, b.data(), static_cast<int>(b.size())); }
    Bytes Take() {
        Bytes out(BIO_ctrl_pending(wbio));
        if (!out.empty())
            BIO_read(wbio, out.data(), static_cast<int>(out.size()));
        return out;
    }
    Bytes Record(const std::string& text) {
        SSL_write(ssl, text.data(), static_cast<int>(text.size()));
        return Take();
    }
    std::string Read() {
        char buf[20000];
        const int n = SSL_read(ssl, buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
    SSL_CTX* ctx;
    SSL* ssl;
    BIO* rbio;
    BIO* wbio;
};

class SchannelTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { TrustTestCa(); }
    void SetUp() override {
        SCHANNEL_CRED sc{};
        sc.dwVersion = SCHANNEL_CRED_VERSION;
        sc.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
        ASSERT_EQ(AcquireCredentialsHandleW(nullptr, UNISP_NAME_W, SECPKG_CRED_OUTBOUND, nullptr,
                                            &sc, nullptr, nullptr, &m_cred, nullptr),
                  SEC_E_OK);
    }
    void TearDown() override {
        if (m_ctx.dwUpper != 0)
            DeleteSecurityContext(&m_ctx);
        m_ctx = {};
        if (m_cred.dwUpper != 0)
            FreeCredentialsHandle(&m_cred);
        m_cred = {};
    }

    SECURITY_STATUS Step(const Bytes& input, Bytes* token, ULONG* extra) {
        SecBuffer in[2] = {
            {static_cast<ULONG>(input.size()), SECBUFFER_TOKEN, const_cast<BYTE*>(input.data())},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
        SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
        SecBufferDesc outDesc{SECBUFFER_VERSION, 1, out};
        ULONG attr = 0;
        const bool first = m_ctx.dwUpper == 0;
        const SECURITY_STATUS s = InitializeSecurityContextW(
            &m_cred, first ? nullptr : &m_ctx, u"localhost", 0xC11C, 0, SECURITY_NATIVE_DREP,
            first ? nullptr : &inDesc, 0, first ? &m_ctx : nullptr, &outDesc, &attr, nullptr);
        token->assign(static_cast<BYTE*>(out[0].pvBuffer),
                      static_cast<BYTE*>(out[0].pvBuffer) + out[0].cbBuffer);
        if (out[0].pvBuffer != nullptr)
            FreeContextBuffer(out[0].pvBuffer);
        *extra = in[1].BufferType == SECBUFFER_EXTRA ? in[1].cbBuffer : 0;
        return s;
    }

    // A TLS 1.3 server's tickets stay queued.
    SECURITY_STATUS Handshake(MemoryServer& server) {
        Bytes token;
        ULONG extra = 0;
        SECURITY_STATUS s = Step({}, &token, &extra);
        while (s == SEC_I_CONTINUE_NEEDED) {
            server.Feed(token);
            SSL_accept(server.ssl);
            s = Step(server.Take(), &token, &extra);
            EXPECT_EQ(extra, 0u);
        }
        if (s == SEC_E_OK) {
            server.Feed(token);
            EXPECT_EQ(SSL_accept(server.ssl), 1);
        }
        return s;
    }

    struct Decrypted {
        SECURITY_STATUS status;
        std::string data;
        bool hasExtra = false;
        ULONG extra = 0;
    };

    Decrypted Decrypt(Bytes held) {
        // The other three empty: SECBUFFER_EMPTY is 0.
        SecBuffer b[4] = {{static_cast<ULONG>(held.size()), SECBUFFER_DATA, held.data()}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
        Decrypted r{DecryptMessage(&m_ctx, &desc, 0, nullptr)};
        for (int i = 0; i < 4; ++i) {
            if (b[i].BufferType == SECBUFFER_DATA && i > 0)
                r.data.assign(static_cast<char*>(b[i].pvBuffer), b[i].cbBuffer);
            if (b[i].BufferType == SECBUFFER_EXTRA)
                r.hasExtra = true, r.extra = b[i].cbBuffer;
        }
        return r;
    }

    Bytes Encrypt(const std::string& text) {
        SecPkgContext_StreamSizes sizes{};
        EXPECT_EQ(QueryContextAttributesW(&m_ctx, SECPKG_ATTR_STREAM_SIZES, &sizes), SEC_E_OK);
        Bytes record(sizes.cbHeader + sizes.cbMaximumMessage + sizes.cbTrailer);
        std::memcpy(record.data() + sizes.cbHeader, text.data(), text.size());
        SecBuffer b[4] = {
            {sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
            {static_cast<ULONG>(text.size()), SECBUFFER_DATA, record.data() + sizes.cbHeader},
            {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER,
             record.data() + sizes.cbHeader + text.size()},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
        EXPECT_EQ(EncryptMessage(&m_ctx, 0, &desc, 0), SEC_E_OK);
        record.resize(b[0].cbBuffer + b[1].cbBuffer + b[2].cbBuffer);
        return record;
    }

    CredHandle m_cred{};
    CtxtHandle m_ctx{};
};

}  // namespace

// Longer than TLS allows: refused at the header, not waited for. (Cut and
// whole records are the handshake's rows, a text reply TSMTPSSLSocketTest's.)
TEST(TlsRecord, ALengthBeyondTlsIsIllegal) {
    size_t size = 0;
    const BYTE huge[] = {23, 3, 3, 0xFF, 0xFF};
    EXPECT_EQ(ScanTlsRecord(huge, 5, &size), TlsRecordScan::Illegal);
}

// The package is a system module by its name (every TLS test loads it so); a
// DLL's name with a folder is found there, but never as a system module.
TEST(SchannelModule, LoadsThroughTheModuleName) {
    ScratchDir dir;
    std::filesystem::copy_file(std::string(SMTPMAIL_BIN_DIR) + "/libtest_hostmodule_empty.so",
                               dir.File("libmodule.so"));
    HMODULE h = LoadLibraryW(dir.WideFile("module.dll").c_str());
    ASSERT_NE(h, nullptr);
    EXPECT_NE(GetProcAddress(h, "HostModuleWithoutStrings"), nullptr);
    FreeLibrary(h);
    EXPECT_EQ(LoadSystemLibrary(dir.WideFile("module.dll").c_str()), nullptr);
    EXPECT_NE(LoadSystemLibrary(u"SCHANNEL.DLL"), nullptr);
}

TEST_F(SchannelTest, HandshakeInputCutShortIsIncomplete) {
    MemoryServer server(TLS1_3_VERSION);
    Bytes token;
    ULONG extra = 0;
    ASSERT_EQ(Step({}, &token, &extra), SEC_I_CONTINUE_NEEDED);
    server.Feed(token);
    SSL_accept(server.ssl);
    const Bytes flight = server.Take();
    size_t first = 0;
    ASSERT_EQ(ScanTlsRecord(flight.data(), flight.size(), &first), TlsRecordScan::Complete);
    auto part = [&flight](size_t from, size_t to) {
        return Bytes(flight.begin() + static_cast<long>(from),
                     flight.begin() + static_cast<long>(to));
    };
    // Byte by byte up to the first whole record: nothing is consumed.
    for (size_t n : {size_t{1}, size_t{4}, first - 1}) {
        EXPECT_EQ(Step(part(0, n), &token, &extra), SEC_E_INCOMPLETE_MESSAGE) << n;
        EXPECT_TRUE(token.empty());
    }
    // One whole record and a piece of the next: the piece comes back as EXTRA.
    EXPECT_EQ(Step(part(0, first + 3), &token, &extra), SEC_I_CONTINUE_NEEDED);
    EXPECT_EQ(extra, 3u);
    EXPECT_EQ(Step(part(first, flight.size()), &token, &extra), SEC_E_OK);
    EXPECT_EQ(extra, 0u);
    server.Feed(token);
    EXPECT_EQ(SSL_accept(server.ssl), 1);
}

TEST_F(SchannelTest, FullChunksFitTheStreamSizesForEverySuite) {
    // A CBC suite with SHA-384 expands records the most of the TLS 1.2 suites.
    for (auto [version, ciphers] : {std::pair<int, const char*>{TLS1_3_VERSION, nullptr},
                                    {TLS1_2_VERSION, "ECDHE-ECDSA-AES256-SHA384"},
                                    {TLS1_2_VERSION, "ECDHE-ECDSA-AES128-GCM-SHA256"},
                                    {TLS1_2_VERSION, "ECDHE-ECDSA-CHACHA20-POLY1305"}}) {
        TearDown();
        SetUp();
        MemoryServer server(version, ciphers);
        ASSERT_EQ(Handshake(server), SEC_E_OK);
        // The tickets after a TLS 1.3 handshake (records carry sequence numbers).
        for (Bytes held = server.Take(); !held.empty();) {
            const Decrypted d = Decrypt(held);
            ASSERT_EQ(d.status, SEC_E_OK);
            ASSERT_TRUE(d.data.empty());
            held = d.hasExtra ? Bytes(held.end() - d.extra, held.end()) : Bytes();
        }
        SecPkgContext_StreamSizes sizes{};
        ASSERT_EQ(QueryContextAttributesW(&m_ctx, SECPKG_ATTR_STREAM_SIZES, &sizes), SEC_E_OK);
        EXPECT_EQ(sizes.cbMaximumMessage, 16384u);
        const size_t most = sizes.cbHeader + sizes.cbMaximumMessage + sizes.cbTrailer;
        std::string text(sizes.cbMaximumMessage, 'z');
        text[0] = 'a';
        const Bytes record = Encrypt(text);
        EXPECT_LE(record.size(), most);
        server.Feed(record);
        EXPECT_TRUE(server.Read() == text) << SSL_get_cipher_name(server.ssl);
        // And the server's own full records fit one Receive buffer.
        const Bytes in = server.Record(text);
        EXPECT_LE(in.size(), most);
        EXPECT_TRUE(Decrypt(in).data == text);
    }
}
