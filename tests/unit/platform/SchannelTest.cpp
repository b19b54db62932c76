// The emulated Schannel package, driven through the SSPI functions against an
// OpenSSL server in memory, so that every record layout is exact: records cut
// short, several records in one buffer, post-handshake messages, close_notify.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstring>
#include <string>
#include <vector>

#include "TestCertificates.h"
#include "platform/Certificates.h"
#include "platform/DynamicLibrary.h"
#include "platform/LastError.h"
#include "platform/Sspi.h"
#include "platform/posix/TlsRecord_posix.h"

using namespace platform;

namespace {

using Bytes = std::vector<BYTE>;
constexpr ULONG kReq = 0xC11C;

class MemoryServer {
public:
    MemoryServer(int maxVersion, const char* cipherList = nullptr,
                 const std::string& name = "server") {
        ctx = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_chain_file(ctx, testcerts::Path(name + ".pem").c_str());
        SSL_CTX_use_PrivateKey_file(ctx, testcerts::Path(name + ".key").c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_set_max_proto_version(ctx, maxVersion);
        SSL_CTX_set_min_proto_version(ctx, maxVersion);
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
    void Feed(const Bytes& b) {
        if (!b.empty())
            BIO_write(rbio, b.data(), static_cast<int>(b.size()));
    }
    Bytes Take() {
        Bytes out(BIO_ctrl_pending(wbio));
        if (!out.empty())
            BIO_read(wbio, out.data(), static_cast<int>(out.size()));
        return out;
    }
    int Accept() { return SSL_accept(ssl); }
    Bytes Record(const std::string& text) {
        SSL_write(ssl, text.data(), static_cast<int>(text.size()));
        return Take();
    }
    std::string Read() {
        char buf[20000];
        int n = SSL_read(ssl, buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
    SSL_CTX* ctx;
    SSL* ssl;
    BIO* rbio;
    BIO* wbio;
};

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

class SchannelTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testcerts::TrustTestCA(); }

    void SetUp() override { Acquire(SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS); }
    void TearDown() override {
        if (m_ctx.dwUpper != 0)
            DeleteSecurityContext(&m_ctx);
        if (m_cred.dwUpper != 0)
            FreeCredentialsHandle(&m_cred);
    }

    void Acquire(DWORD flags, DWORD protocols = 0) {
        if (m_cred.dwUpper != 0)
            FreeCredentialsHandle(&m_cred);
        SCHANNEL_CRED sc{};
        sc.dwVersion = SCHANNEL_CRED_VERSION;
        sc.dwFlags = flags;
        sc.grbitEnabledProtocols = protocols;
        ASSERT_EQ(AcquireCredentialsHandleW(nullptr, UNISP_NAME_W, SECPKG_CRED_OUTBOUND, nullptr,
                                            &sc, nullptr, nullptr, &m_cred, nullptr),
                  SEC_E_OK);
    }

    // One InitializeSecurityContextW step; the token goes to *token, the
    // count of unused input bytes to *extra.
    SECURITY_STATUS Step(const Bytes& input, Bytes* token, ULONG* extra,
                         const char16_t* target = u"localhost") {
        SecBuffer in[2] = {
            {static_cast<ULONG>(input.size()), SECBUFFER_TOKEN, const_cast<BYTE*>(input.data())},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
        SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
        SecBufferDesc outDesc{SECBUFFER_VERSION, 1, out};
        ULONG attr = 0;
        bool first = m_ctx.dwUpper == 0;
        SECURITY_STATUS s = InitializeSecurityContextW(
            &m_cred, first ? nullptr : &m_ctx, target, kReq, 0, SECURITY_NATIVE_DREP,
            first ? nullptr : &inDesc, 0, first ? &m_ctx : nullptr, &outDesc, &attr, nullptr);
        token->assign(static_cast<BYTE*>(out[0].pvBuffer),
                      static_cast<BYTE*>(out[0].pvBuffer) + out[0].cbBuffer);
        if (out[0].pvBuffer != nullptr)
            FreeContextBuffer(out[0].pvBuffer);
        *extra = in[1].BufferType == SECBUFFER_EXTRA ? in[1].cbBuffer : 0;
        return s;
    }

    // Runs the handshake to its end; returns what the server sent after it
    // (or what it still had queued).
    SECURITY_STATUS Handshake(MemoryServer& server, const char16_t* target = u"localhost") {
        Bytes token;
        ULONG extra = 0;
        SECURITY_STATUS s = Step({}, &token, &extra, target);
        EXPECT_EQ(s, SEC_I_CONTINUE_NEEDED);
        while (s == SEC_I_CONTINUE_NEEDED) {
            server.Feed(token);
            server.Accept();
            Bytes input = server.Take();
            s = Step(input, &token, &extra, target);
            EXPECT_EQ(extra, 0u);
        }
        if (s == SEC_E_OK) {
            server.Feed(token);
            EXPECT_EQ(server.Accept(), 1);
        }
        return s;
    }

    struct Decrypted {
        SECURITY_STATUS status;
        std::string data;
        bool hasData = false;
        bool hasExtra = false;
        ULONG extra = 0;
        ULONG header = 0;
        ULONG trailer = 0;
    };

    // Decrypts what the server has queued (the tickets after a TLS 1.3
    // handshake): records carry sequence numbers, so none may be skipped.
    void Absorb(MemoryServer& server) {
        Bytes held = server.Take();
        while (!held.empty()) {
            Decrypted d = Decrypt(held);
            ASSERT_EQ(d.status, SEC_E_OK);
            ASSERT_TRUE(d.data.empty());
            held = d.hasExtra ? Bytes(held.end() - d.extra, held.end()) : Bytes();
        }
    }

    Decrypted Decrypt(Bytes& held) {
        SecBuffer b[4] = {{static_cast<ULONG>(held.size()), SECBUFFER_DATA, held.data()},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
        Decrypted r;
        r.status = DecryptMessage(&m_ctx, &desc, 0, nullptr);
        for (int i = 0; i < 4; ++i) {
            if (b[i].BufferType == SECBUFFER_DATA && i > 0) {
                r.hasData = true;
                r.data.assign(static_cast<char*>(b[i].pvBuffer), b[i].cbBuffer);
            }
            if (b[i].BufferType == SECBUFFER_EXTRA) {
                r.hasExtra = true;
                r.extra = b[i].cbBuffer;
            }
            if (b[i].BufferType == SECBUFFER_STREAM_HEADER)
                r.header = b[i].cbBuffer;
            if (b[i].BufferType == SECBUFFER_STREAM_TRAILER)
                r.trailer = b[i].cbBuffer;
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

TEST(TlsRecord, FindsRecordBoundaries) {
    size_t size = 0;
    const BYTE record[] = {23, 3, 3, 0, 2, 0xAA, 0xBB, 23, 3};
    EXPECT_EQ(ScanTlsRecord(record, 9, &size), TlsRecordScan::Complete);
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(ScanTlsRecord(record, 6, &size), TlsRecordScan::Incomplete);
    EXPECT_EQ(ScanTlsRecord(record, 3, &size), TlsRecordScan::Incomplete);
    EXPECT_EQ(ScanTlsRecord(record + 7, 2, &size), TlsRecordScan::Incomplete);
    EXPECT_EQ(ScanTlsRecord(reinterpret_cast<const BYTE*>("220 ok"), 6, &size),
              TlsRecordScan::Illegal);
    const BYTE huge[] = {23, 3, 3, 0xFF, 0xFF};
    EXPECT_EQ(ScanTlsRecord(huge, 5, &size), TlsRecordScan::Illegal);
}

TEST(SchannelModule, LoadsThroughTheModuleName) {
    HMODULE h = LoadLibraryW(u"SCHANNEL.DLL");
    ASSERT_NE(h, nullptr);
    auto init =
        reinterpret_cast<INIT_SECURITY_INTERFACE_W>(GetProcAddress(h, "InitSecurityInterfaceW"));
    ASSERT_NE(init, nullptr);
    SecurityFunctionTableW* table = init();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->EncryptMessage, &EncryptMessage);
    EXPECT_EQ(GetProcAddress(h, "NoSuchExport"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_NE(LoadLibraryW(u"schannel.dll"), nullptr);
    EXPECT_EQ(LoadLibraryW(u"no-such-module-here.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST_F(SchannelTest, HandshakeInputCutShortIsIncomplete) {
    MemoryServer server(TLS1_3_VERSION);
    Bytes token;
    ULONG extra = 0;
    ASSERT_EQ(Step({}, &token, &extra), SEC_I_CONTINUE_NEEDED);
    ASSERT_FALSE(token.empty());
    server.Feed(token);
    server.Accept();
    Bytes flight = server.Take();
    size_t first = 0;
    ASSERT_EQ(ScanTlsRecord(flight.data(), flight.size(), &first), TlsRecordScan::Complete);

    // Byte by byte up to the first whole record: nothing is consumed.
    for (size_t n : {size_t{1}, size_t{4}, first - 1}) {
        Bytes part(flight.begin(), flight.begin() + static_cast<long>(n));
        EXPECT_EQ(Step(part, &token, &extra), SEC_E_INCOMPLETE_MESSAGE) << n;
        EXPECT_TRUE(token.empty());
    }
    // One whole record and a piece of the next: the piece comes back as EXTRA.
    Bytes part(flight.begin(), flight.begin() + static_cast<long>(first + 3));
    EXPECT_EQ(Step(part, &token, &extra), SEC_I_CONTINUE_NEEDED);
    EXPECT_EQ(extra, 3u);
    Bytes rest(flight.begin() + static_cast<long>(first), flight.end());
    EXPECT_EQ(Step(rest, &token, &extra), SEC_E_OK);
    EXPECT_EQ(extra, 0u);
    server.Feed(token);
    EXPECT_EQ(server.Accept(), 1);
}

TEST_F(SchannelTest, RecordsDecryptOneAtATime) {
    MemoryServer server(TLS1_2_VERSION);
    ASSERT_EQ(Handshake(server), SEC_E_OK);
    Bytes one = server.Record("alpha");
    Bytes two = server.Record("bravo!");

    Bytes held(one.begin(), one.end() - 1);
    EXPECT_EQ(Decrypt(held).status, SEC_E_INCOMPLETE_MESSAGE);

    held = Join({one, two});
    Decrypted d = Decrypt(held);
    ASSERT_EQ(d.status, SEC_E_OK);
    EXPECT_EQ(d.data, "alpha");
    EXPECT_EQ(d.header, 5u);
    EXPECT_EQ(d.header + d.data.size() + d.trailer, one.size());
    ASSERT_TRUE(d.hasExtra);
    EXPECT_EQ(d.extra, two.size());

    Bytes next(held.end() - d.extra, held.end());
    d = Decrypt(next);
    ASSERT_EQ(d.status, SEC_E_OK);
    EXPECT_EQ(d.data, "bravo!");
    EXPECT_FALSE(d.hasExtra);
}

TEST_F(SchannelTest, PostHandshakeMessagesNeverLookLikeTheEnd) {
    MemoryServer server(TLS1_3_VERSION);
    ASSERT_EQ(Handshake(server), SEC_E_OK);
    Bytes tickets = server.Take();  // the two tickets of the handshake's end
    ASSERT_FALSE(tickets.empty());

    // Only tickets held: no data, and an empty EXTRA asks for more input.
    Bytes held = tickets;
    Decrypted d = Decrypt(held);
    EXPECT_EQ(d.status, SEC_E_OK);
    EXPECT_TRUE(d.data.empty());
    ASSERT_TRUE(d.hasExtra);
    EXPECT_EQ(d.extra, 0u);

    // A ticket, then a record cut short: the piece is handed back as EXTRA,
    // and completed it decrypts.
    SSL_new_session_ticket(server.ssl);
    SSL_do_handshake(server.ssl);
    Bytes ticket = server.Take();
    Bytes data = server.Record("payload");
    held = Join({ticket, Bytes(data.begin(), data.begin() + 4)});
    d = Decrypt(held);
    EXPECT_EQ(d.status, SEC_E_OK);
    ASSERT_TRUE(d.hasExtra);
    EXPECT_EQ(d.extra, 4u);
    held = data;
    EXPECT_EQ(Decrypt(held).data, "payload");

    // A ticket then data in one buffer: the data comes out in the same call.
    SSL_new_session_ticket(server.ssl);
    SSL_do_handshake(server.ssl);
    Bytes ticket2 = server.Take();
    held = Join({ticket2, server.Record("payload2")});
    d = Decrypt(held);
    EXPECT_EQ(d.status, SEC_E_OK);
    EXPECT_EQ(d.data, "payload2");
    EXPECT_FALSE(d.hasExtra);

    // Data then a ticket: after the data the ticket ends the read, since the
    // caller has something to return.
    Bytes reply = server.Record("reply");
    SSL_new_session_ticket(server.ssl);
    SSL_do_handshake(server.ssl);
    held = Join({reply, server.Take()});
    d = Decrypt(held);
    EXPECT_EQ(d.data, "reply");
    ASSERT_TRUE(d.hasExtra);
    Bytes next(held.end() - d.extra, held.end());
    d = Decrypt(next);
    EXPECT_EQ(d.status, SEC_E_OK);
    EXPECT_FALSE(d.hasExtra);
    EXPECT_TRUE(d.data.empty());

    // A key update is as invisible, and the answer to it leaves with the
    // next encrypted message; the server reads that message with new keys.
    SSL_key_update(server.ssl, SSL_KEY_UPDATE_REQUESTED);
    SSL_do_handshake(server.ssl);
    held = Join({server.Take(), server.Record("after update")});
    d = Decrypt(held);
    EXPECT_EQ(d.data, "after update");
    server.Feed(Encrypt("client text"));
    EXPECT_EQ(server.Read(), "client text");
    EXPECT_EQ(SSL_get_key_update_type(server.ssl), SSL_KEY_UPDATE_NONE);
}

TEST_F(SchannelTest, FullChunksFitTheStreamSizesForEverySuite) {
    // A CBC suite with SHA-384 expands records the most of the TLS 1.2 suites.
    for (auto [version, ciphers] : {std::pair<int, const char*>{TLS1_3_VERSION, nullptr},
                                    {TLS1_2_VERSION, "ECDHE-ECDSA-AES256-SHA384"},
                                    {TLS1_2_VERSION, "ECDHE-ECDSA-AES128-GCM-SHA256"},
                                    {TLS1_2_VERSION, "ECDHE-ECDSA-CHACHA20-POLY1305"}}) {
        TearDown();
        m_ctx = {};
        SetUp();
        MemoryServer server(version, ciphers);
        ASSERT_EQ(Handshake(server), SEC_E_OK);
        Absorb(server);
        SecPkgContext_StreamSizes sizes{};
        ASSERT_EQ(QueryContextAttributesW(&m_ctx, SECPKG_ATTR_STREAM_SIZES, &sizes), SEC_E_OK);
        EXPECT_EQ(sizes.cbMaximumMessage, 16384u);
        std::string text(sizes.cbMaximumMessage, 'z');
        text[0] = 'a';
        Bytes record = Encrypt(text);
        EXPECT_LE(record.size(), sizes.cbHeader + sizes.cbMaximumMessage + sizes.cbTrailer);
        server.Feed(record);
        EXPECT_TRUE(server.Read() == text) << SSL_get_cipher_name(server.ssl);
        // And the server's own full records fit one Receive buffer.
        Bytes in = server.Record(text);
        EXPECT_LE(in.size(), sizes.cbHeader + sizes.cbMaximumMessage + sizes.cbTrailer);
        EXPECT_TRUE(Decrypt(in).data == text);
    }
}

// What no record of the session is, is refused. (The close_notify and the
// shutdown token are checked through the socket, against a real server.)
TEST_F(SchannelTest, TextAndTamperedRecordsAreRefused) {
    MemoryServer server(TLS1_3_VERSION);
    ASSERT_EQ(Handshake(server), SEC_E_OK);
    Absorb(server);
    Bytes text{'2', '2', '0', ' ', 'o', 'k', '\r', '\n'};
    EXPECT_EQ(Decrypt(text).status, SEC_E_ILLEGAL_MESSAGE);
    Bytes record = server.Record("secret");
    record[8] ^= 0x01;
    SECURITY_STATUS s = Decrypt(record).status;
    EXPECT_TRUE(SEC_FAILED(s)) << std::hex << s;
}

TEST_F(SchannelTest, ProtocolMaskLimitsTheVersions) {
    Acquire(SCH_CRED_MANUAL_CRED_VALIDATION, SP_PROT_TLS1_2_CLIENT);
    MemoryServer server(TLS1_3_VERSION);
    Bytes token;
    ULONG extra = 0;
    ASSERT_EQ(Step({}, &token, &extra), SEC_I_CONTINUE_NEEDED);
    server.Feed(token);
    server.Accept();
    SECURITY_STATUS s = Step(server.Take(), &token, &extra);
    EXPECT_EQ(s, SEC_E_ALGORITHM_MISMATCH) << std::hex << s;
}

TEST_F(SchannelTest, RemoteCertificateCarriesTheServerChain) {
    MemoryServer server(TLS1_3_VERSION);
    ASSERT_EQ(Handshake(server, u"localhost"), SEC_E_OK);
    PCCERT_CONTEXT cert = nullptr;
    ASSERT_EQ(QueryContextAttributesW(&m_ctx, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert), SEC_E_OK);
    ASSERT_NE(cert, nullptr);
    EXPECT_GT(cert->cbCertEncoded, 100u);
    EXPECT_NE(cert->hCertStore, nullptr);
    EXPECT_EQ(VerifyServerCertificate(cert, u"localhost", 0), 0u);
    EXPECT_EQ(VerifyServerCertificate(cert, u"example.org", 0), CERT_E_CN_NO_MATCH);
    CertFreeCertificateContext(cert);
}

TEST_F(SchannelTest, WithoutManualValidationTheHandshakeChecksTheCertificate) {
    Acquire(SCH_CRED_NO_DEFAULT_CREDS);
    MemoryServer server(TLS1_3_VERSION);
    EXPECT_EQ(Handshake(server, u"mail.example.com"), SEC_E_WRONG_PRINCIPAL);
    DeleteSecurityContext(&m_ctx);
    m_ctx = {};
    MemoryServer good(TLS1_3_VERSION);
    EXPECT_EQ(Handshake(good, u"localhost"), SEC_E_OK);
}
