// The "Microsoft Unified Security Protocol Provider" package: a TLS client
// over OpenSSL with memory BIOs, behaving the way the Schannel client loop
// expects.
//
// - InitializeSecurityContextW feeds OpenSSL whole records only and answers
//   SEC_E_INCOMPLETE_MESSAGE while not one record is complete; bytes past the
//   record that completes the handshake come back as SECBUFFER_EXTRA.
// - DecryptMessage decrypts one record per call in place (header, data,
//   trailer, extra), SEC_E_INCOMPLETE_MESSAGE for a record cut short and
//   SEC_I_CONTEXT_EXPIRED for the peer's close_notify.
// - Records that carry no application data (TLS 1.3 session tickets and key
//   updates, a refused TLS 1.2 renegotiation) never come back as an empty
//   read: the call goes on to the next held record, and when none is left it
//   answers an EXTRA buffer of 0 bytes, which makes the caller read the
//   socket again. Only when the caller already holds data of this read (the
//   previous call returned data and EXTRA) does such a record end the read.
// - EncryptMessage writes whatever OpenSSL produces for the data (a pending
//   key-update answer included) into the header, data and trailer buffers;
//   the stream sizes are large enough for any suite of TLS 1.2 and 1.3.
// - The server certificate is not checked during the handshake when the
//   credentials ask for manual validation; otherwise the handshake fails
//   with the SEC_E_ error of the policy check.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/Certificates.h"
#include "platform/SspiPackage.h"
#include "platform/Utf.h"
#include "platform/posix/CertificatesImpl_posix.h"
#include "platform/posix/TlsRecord_posix.h"

namespace platform {

namespace {

constexpr SECURITY_STATUS SEC_E_BUFFER_TOO_SMALL_ = static_cast<SECURITY_STATUS>(0x80090321u);
constexpr DWORD SCH_CRED_NO_SERVERNAME_CHECK = 0x00000004;

// What QueryContextAttributes(SECPKG_ATTR_STREAM_SIZES) reports. The trailer
// leaves room for the largest record expansion TLS allows plus a pending
// post-handshake record, so that a full chunk always fits.
constexpr ULONG kStreamHeader = kTlsRecordHeader;
constexpr ULONG kStreamMaximumMessage = 16384;
constexpr ULONG kStreamTrailer = 2048;

// The sessions of the connections made with one credentials handle, by
// target name: a new connection to the same name resumes the last one, as
// the system package does for a handle kept between connections.
struct SessionCache {
    std::mutex mutex;
    std::map<std::u16string, SSL_SESSION*> sessions;
    SessionCache() = default;
    SessionCache(const SessionCache&) = delete;
    SessionCache& operator=(const SessionCache&) = delete;
    ~SessionCache() {
        for (auto& entry : sessions)
            SSL_SESSION_free(entry.second);
    }
};

struct Credentials {
    SSL_CTX* ctx = nullptr;
    DWORD dwFlags = 0;
    // Shared with the contexts, which may outlive the handle.
    std::shared_ptr<SessionCache> sessions = std::make_shared<SessionCache>();
};

enum class State { Handshake, Established, ShutdownRequested, Closed, PeerClosed, Failed };

struct Context {
    SSL* ssl = nullptr;
    BIO* rbio = nullptr;  // records from the peer, owned by ssl
    BIO* wbio = nullptr;  // records for the peer, owned by ssl
    std::u16string target;
    DWORD dwCredFlags = 0;
    std::shared_ptr<SessionCache> sessions;
    State state = State::Handshake;
    // The previous DecryptMessage returned application data and EXTRA: the
    // caller is in the middle of one read and already holds data.
    bool bDataInHand = false;
};

// ----- helpers -----------------------------------------------------------

std::vector<BYTE> Drain(BIO* wbio) {
    std::vector<BYTE> out;
    size_t pending;
    while ((pending = BIO_ctrl_pending(wbio)) > 0) {
        size_t at = out.size();
        out.resize(at + pending);
        int n = BIO_read(wbio, out.data() + at, static_cast<int>(pending));
        if (n <= 0) {
            out.resize(at);
            break;
        }
        out.resize(at + static_cast<size_t>(n));
    }
    return out;
}

SecBuffer* FindBuffer(SecBufferDesc* desc, ULONG type) {
    if (desc == nullptr || desc->pBuffers == nullptr)
        return nullptr;
    for (ULONG i = 0; i < desc->cBuffers; ++i) {
        if (desc->pBuffers[i].BufferType == type)
            return &desc->pBuffers[i];
    }
    return nullptr;
}

// Hands an output token to the caller: allocated for ISC_REQ_ALLOCATE_MEMORY
// (null and 0 when empty), otherwise copied into the caller's buffer.
SECURITY_STATUS PutToken(SecBufferDesc* output, ULONG contextReq, const std::vector<BYTE>& token) {
    SecBuffer* out = FindBuffer(output, SECBUFFER_TOKEN);
    if (out == nullptr)
        return token.empty() ? SEC_E_OK : SEC_E_INVALID_TOKEN;
    if ((contextReq & ISC_REQ_ALLOCATE_MEMORY) != 0) {
        out->pvBuffer = nullptr;
        out->cbBuffer = 0;
        if (token.empty())
            return SEC_E_OK;
        out->pvBuffer = SspiAllocate(token.size());
        if (out->pvBuffer == nullptr)
            return SEC_E_INSUFFICIENT_MEMORY;
    } else {
        if (out->pvBuffer == nullptr || out->cbBuffer < token.size())
            return SEC_E_BUFFER_TOO_SMALL_;
    }
    if (!token.empty())
        std::memcpy(out->pvBuffer, token.data(), token.size());
    out->cbBuffer = static_cast<ULONG>(token.size());
    return SEC_E_OK;
}

SECURITY_STATUS StatusFromOpenSslError() {
    unsigned long e = ERR_peek_last_error();
    ERR_clear_error();
    switch (ERR_GET_REASON(e)) {
        case SSL_R_UNSUPPORTED_PROTOCOL:
        case SSL_R_UNSUPPORTED_SSL_VERSION:
        case SSL_R_WRONG_SSL_VERSION:
        case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
        case SSL_R_NO_PROTOCOLS_AVAILABLE:
        case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
        case SSL_R_NO_SHARED_CIPHER:
        case SSL_R_NO_CIPHERS_AVAILABLE:
            return SEC_E_ALGORITHM_MISMATCH;
        case SSL_R_DECRYPTION_FAILED_OR_BAD_RECORD_MAC:
            return SEC_E_DECRYPT_FAILURE;
        default:
            return SEC_E_ILLEGAL_MESSAGE;
    }
}

bool ProtocolRange(DWORD mask, int* minVersion, int* maxVersion) {
    if (mask == 0) {
        // The default set: TLS 1.2 and 1.3.
        *minVersion = TLS1_2_VERSION;
        *maxVersion = TLS1_3_VERSION;
        return true;
    }
    const struct {
        DWORD bit;
        int version;
    } versions[] = {{SP_PROT_TLS1_0_CLIENT, TLS1_VERSION},
                    {SP_PROT_TLS1_1_CLIENT, TLS1_1_VERSION},
                    {SP_PROT_TLS1_2_CLIENT, TLS1_2_VERSION},
                    {SP_PROT_TLS1_3_CLIENT, TLS1_3_VERSION}};
    *minVersion = 0;
    *maxVersion = 0;
    for (const auto& v : versions) {
        if ((mask & v.bit) == 0)
            continue;
        if (*minVersion == 0)
            *minVersion = v.version;
        *maxVersion = v.version;
    }
    return *minVersion != 0;
}

SECURITY_STATUS AutomaticValidation(Context& c) {
    X509* peer = SSL_get0_peer_certificate(c.ssl);
    if (peer == nullptr)
        return SEC_E_CERT_UNKNOWN;
    PCCERT_CONTEXT cert = NewCertContext(peer, SSL_get_peer_cert_chain(c.ssl));
    DWORD checks = (c.dwCredFlags & SCH_CRED_NO_SERVERNAME_CHECK) != 0
                       ? SECURITY_FLAG_IGNORE_CERT_CN_INVALID
                       : 0;
    DWORD error = VerifyServerCertificate(cert, c.target.c_str(), checks);
    CertFreeCertificateContext(cert);
    switch (error) {
        case 0:
            return SEC_E_OK;
        case CERT_E_UNTRUSTEDROOT:
        case CERT_E_CHAINING:
            return SEC_E_UNTRUSTED_ROOT;
        case CERT_E_EXPIRED:
            return SEC_E_CERT_EXPIRED;
        case CERT_E_CN_NO_MATCH:
            return SEC_E_WRONG_PRINCIPAL;
        default:
            return SEC_E_CERT_UNKNOWN;
    }
}

// ----- credentials ---------------------------------------------------------

// A client context for the protocol range, OpenSSL's own certificate check
// off: the caller checks the server certificate itself (or, without manual
// validation, the package does after the handshake).
SSL_CTX* NewClientContext(int minVersion, int maxVersion) {
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr) {
        ERR_clear_error();
        return nullptr;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    // Renegotiation is refused: its tokens would have to bypass the record
    // layer of the caller's loop.
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_min_proto_version(ctx, minVersion);
    SSL_CTX_set_max_proto_version(ctx, maxVersion);
    return ctx;
}

// One reference to the process's context for the protocol range.
SSL_CTX* SharedClientContext(int minVersion, int maxVersion) {
    // Kept for the life of the process (never destroyed, so still reachable
    // at exit, as a system package's state is).
    static std::mutex mutex;
    static auto* contexts = new std::map<std::pair<int, int>, SSL_CTX*>();
    std::lock_guard<std::mutex> lock(mutex);
    SSL_CTX*& shared = (*contexts)[{minVersion, maxVersion}];
    if (shared == nullptr)
        shared = NewClientContext(minVersion, maxVersion);
    if (shared != nullptr)
        SSL_CTX_up_ref(shared);
    return shared;
}

// What a credential record asks for: the protocols, the client
// certificate and the flags, from SCHANNEL_CRED or SCH_CREDENTIALS.
struct CredentialRequest {
    DWORD dwEnabledProtocols = 0;  // 0: the default set
    DWORD cCreds = 0;
    PCCERT_CONTEXT* paCred = nullptr;
    DWORD dwFlags = 0;
};

bool ReadCredentialRecord(const void* authData, CredentialRequest& request) {
    if (authData == nullptr)
        return true;
    const DWORD dwVersion = *static_cast<const DWORD*>(authData);
    if (dwVersion == SCHANNEL_CRED_VERSION) {
        const auto* cred = static_cast<const SCHANNEL_CRED*>(authData);
        request = {cred->grbitEnabledProtocols, cred->cCreds, cred->paCred, cred->dwFlags};
        return true;
    }
    if (dwVersion != SCH_CREDENTIALS_VERSION)
        return false;
    const auto* cred = static_cast<const SCH_CREDENTIALS*>(authData);
    request = {0, cred->cCreds, cred->paCred, cred->dwFlags};
    DWORD dwDisabled = 0;
    for (DWORD i = 0; cred->pTlsParameters != nullptr && i < cred->cTlsParameters; ++i)
        dwDisabled |= cred->pTlsParameters[i].grbitDisabledProtocols;
    if (dwDisabled != 0) {
        const DWORD dwAll = SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT | SP_PROT_TLS1_2_CLIENT |
                            SP_PROT_TLS1_3_CLIENT;
        // Nothing left at all is a request no version can meet.
        request.dwEnabledProtocols = (dwAll & ~dwDisabled) != 0 ? dwAll & ~dwDisabled : ~dwAll;
    }
    return true;
}

SECURITY_STATUS AcquireCredentials(ULONG credentialUse, void* authData, void** credential) {
    if ((credentialUse & SECPKG_CRED_OUTBOUND) == 0)
        return SEC_E_NO_CREDENTIALS;  // client side only
    CredentialRequest request;
    if (!ReadCredentialRecord(authData, request))
        return SEC_E_UNKNOWN_CREDENTIALS;
    int minVersion = 0;
    int maxVersion = 0;
    if (!ProtocolRange(request.dwEnabledProtocols, &minVersion, &maxVersion))
        return SEC_E_ALGORITHM_MISMATCH;

    const bool bClientCert =
        request.cCreds > 0 && request.paCred != nullptr && request.paCred[0] != nullptr;
    // Credentials without a client certificate are the same for every
    // connection: they share one context, as the system package shares its
    // state, instead of setting up OpenSSL's algorithms for each message.
    SSL_CTX* ctx = bClientCert ? NewClientContext(minVersion, maxVersion)
                               : SharedClientContext(minVersion, maxVersion);
    if (ctx == nullptr)
        return SEC_E_INSUFFICIENT_MEMORY;
    if (bClientCert) {
        X509* cert = CertX509(request.paCred[0]);
        EVP_PKEY* key = CertPrivateKey(request.paCred[0]);
        if (cert == nullptr || key == nullptr || SSL_CTX_use_certificate(ctx, cert) != 1 ||
            SSL_CTX_use_PrivateKey(ctx, key) != 1) {
            ERR_clear_error();
            SSL_CTX_free(ctx);
            return SEC_E_NO_CREDENTIALS;
        }
    }
    auto* c = new Credentials();
    c->ctx = ctx;
    c->dwFlags = request.dwFlags;
    *credential = c;
    return SEC_E_OK;
}

void FreeCredentials(void* credential) {
    auto* c = static_cast<Credentials*>(credential);
    if (c == nullptr)
        return;
    SSL_CTX_free(c->ctx);  // contexts made from it keep their own reference
    delete c;
}

// ----- the handshake -----------------------------------------------------------

SECURITY_STATUS NewContext(Credentials* creds, const char16_t* targetName, Context** out) {
    ERR_clear_error();
    auto* c = new Context();
    c->ssl = SSL_new(creds->ctx);
    c->rbio = BIO_new(BIO_s_mem());
    c->wbio = BIO_new(BIO_s_mem());
    if (c->ssl == nullptr || c->rbio == nullptr || c->wbio == nullptr) {
        SSL_free(c->ssl);
        BIO_free(c->rbio);
        BIO_free(c->wbio);
        delete c;
        ERR_clear_error();
        return SEC_E_INSUFFICIENT_MEMORY;
    }
    SSL_set_bio(c->ssl, c->rbio, c->wbio);
    SSL_set_connect_state(c->ssl);
    c->dwCredFlags = creds->dwFlags;
    if (targetName != nullptr)
        c->target = targetName;
    c->sessions = creds->sessions;
    {
        std::lock_guard<std::mutex> lock(c->sessions->mutex);
        auto found = c->sessions->sessions.find(c->target);
        if (found != c->sessions->sessions.end())
            SSL_set_session(c->ssl, found->second);
    }
    // The target name goes out as the server name (SNI), unless it is an
    // address literal, which SNI does not carry.
    std::string name = Utf16ToUtf8(c->target);
    if (!name.empty() && !inet_pton_any(name.c_str(), nullptr))
        SSL_set_tlsext_host_name(c->ssl, name.c_str());
    *out = c;
    return SEC_E_OK;
}

SECURITY_STATUS HandshakeFailed(Context& c, ULONG contextReq, SecBufferDesc* output,
                                ULONG* contextAttr, SECURITY_STATUS status) {
    c.state = State::Failed;
    // The alert OpenSSL wrote for the peer goes back as an extended-error token.
    std::vector<BYTE> alert = Drain(c.wbio);
    if ((contextReq & ISC_REQ_EXTENDED_ERROR) != 0 && !alert.empty() &&
        PutToken(output, contextReq, alert) == SEC_E_OK)
        *contextAttr |= ISC_RET_EXTENDED_ERROR;
    return status;
}

SECURITY_STATUS HandshakeStep(Context& c, ULONG contextReq, SecBufferDesc* input,
                              SecBufferDesc* output, ULONG* contextAttr) {
    SecBuffer* in = input != nullptr && input->cBuffers > 0 ? &input->pBuffers[0] : nullptr;
    SecBuffer* extra = input != nullptr && input->cBuffers > 1 ? &input->pBuffers[1] : nullptr;
    const BYTE* bytes = in != nullptr ? static_cast<const BYTE*>(in->pvBuffer) : nullptr;
    size_t held = in != nullptr && bytes != nullptr ? in->cbBuffer : 0;

    size_t pos = 0;
    bool consumed = false;
    // The flight OpenSSL queued goes out as the token; input past the records
    // read so far is handed back as EXTRA.
    auto handOut = [&](SECURITY_STATUS done) {
        SECURITY_STATUS status = PutToken(output, contextReq, Drain(c.wbio));
        if (status != SEC_E_OK)
            return status;
        if (extra != nullptr && pos < held) {
            extra->BufferType = SECBUFFER_EXTRA;
            extra->cbBuffer = static_cast<ULONG>(held - pos);
        }
        return done;
    };
    while (pos < held) {
        size_t recordSize = 0;
        TlsRecordScan scan = ScanTlsRecord(bytes + pos, held - pos, &recordSize);
        if (scan == TlsRecordScan::Illegal)
            return HandshakeFailed(c, contextReq, output, contextAttr, SEC_E_ILLEGAL_MESSAGE);
        if (scan == TlsRecordScan::Incomplete)
            break;
        BIO_write(c.rbio, bytes + pos, static_cast<int>(recordSize));
        pos += recordSize;
        consumed = true;
        ERR_clear_error();
        int rc = SSL_do_handshake(c.ssl);
        if (rc == 1) {
            SECURITY_STATUS status = SEC_E_OK;
            if ((c.dwCredFlags & SCH_CRED_MANUAL_CRED_VALIDATION) == 0)
                status = AutomaticValidation(c);
            if (status != SEC_E_OK)
                return HandshakeFailed(c, contextReq, output, contextAttr, status);
            c.state = State::Established;
            return handOut(SEC_E_OK);
        }
        if (SSL_get_error(c.ssl, rc) != SSL_ERROR_WANT_READ)
            return HandshakeFailed(c, contextReq, output, contextAttr, StatusFromOpenSslError());
    }
    if (!consumed)
        return SEC_E_INCOMPLETE_MESSAGE;
    return handOut(SEC_I_CONTINUE_NEEDED);
}

SECURITY_STATUS InitializeContext(void* credential, void* context, const char16_t* targetName,
                                  ULONG contextReq, SecBufferDesc* input, void** newContext,
                                  SecBufferDesc* output, ULONG* contextAttr) {
    constexpr ULONG kReturned = ISC_REQ_REPLAY_DETECT | ISC_REQ_SEQUENCE_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM;
    *contextAttr = contextReq & kReturned;
    if (SecBuffer* out = FindBuffer(output, SECBUFFER_TOKEN);
        out != nullptr && (contextReq & ISC_REQ_ALLOCATE_MEMORY) != 0) {
        out->pvBuffer = nullptr;
        out->cbBuffer = 0;
    }

    if (context == nullptr) {
        if (credential == nullptr)
            return SEC_E_INVALID_HANDLE;
        Context* c = nullptr;
        SECURITY_STATUS status = NewContext(static_cast<Credentials*>(credential), targetName, &c);
        if (status != SEC_E_OK)
            return status;
        *newContext = c;
        ERR_clear_error();
        int rc = SSL_do_handshake(c->ssl);
        if (rc != 1 && SSL_get_error(c->ssl, rc) != SSL_ERROR_WANT_READ)
            return HandshakeFailed(*c, contextReq, output, contextAttr, StatusFromOpenSslError());
        status = PutToken(output, contextReq, Drain(c->wbio));
        return status != SEC_E_OK ? status : SEC_I_CONTINUE_NEEDED;
    }

    auto& c = *static_cast<Context*>(context);
    switch (c.state) {
        case State::Handshake:
            return HandshakeStep(c, contextReq, input, output, contextAttr);
        case State::ShutdownRequested: {
            // The close_notify record, with anything still queued before it.
            ERR_clear_error();
            if (SSL_is_init_finished(c.ssl))
                SSL_shutdown(c.ssl);
            ERR_clear_error();
            c.state = State::Closed;
            return PutToken(output, contextReq, Drain(c.wbio));
        }
        case State::Established:
        case State::PeerClosed:
            return SEC_E_OK;  // nothing to negotiate
        case State::Closed:
        case State::Failed:
            break;
    }
    return SEC_E_INVALID_HANDLE;
}

SECURITY_STATUS CompleteAuthToken(void*, SecBufferDesc*) {
    return SEC_E_UNSUPPORTED_FUNCTION;
}

// A connection that got through its handshake leaves its session (with
// TLS 1.3 the last ticket the server sent) for the next one to the same
// name; one that failed leaves nothing.
void KeepSession(Context& c) {
    if (c.sessions == nullptr || c.state == State::Handshake || c.state == State::Failed)
        return;
    SSL_SESSION* session = SSL_get1_session(c.ssl);
    if (session == nullptr)
        return;
    if (SSL_SESSION_is_resumable(session) != 1) {
        SSL_SESSION_free(session);
        return;
    }
    std::lock_guard<std::mutex> lock(c.sessions->mutex);
    SSL_SESSION*& kept = c.sessions->sessions[c.target];
    if (kept != nullptr)
        SSL_SESSION_free(kept);
    kept = session;
}

void DeleteContext(void* context) {
    auto* c = static_cast<Context*>(context);
    if (c == nullptr)
        return;
    KeepSession(*c);
    SSL_free(c->ssl);
    delete c;
}

SECURITY_STATUS ApplyControlToken(void* context, SecBufferDesc* input) {
    auto* c = static_cast<Context*>(context);
    SecBuffer* token = FindBuffer(input, SECBUFFER_TOKEN);
    if (c == nullptr || token == nullptr || token->pvBuffer == nullptr ||
        token->cbBuffer < sizeof(DWORD))
        return SEC_E_INVALID_TOKEN;
    DWORD type = 0;
    std::memcpy(&type, token->pvBuffer, sizeof type);
    if (type != SCHANNEL_SHUTDOWN)
        return SEC_E_UNSUPPORTED_FUNCTION;
    c->state = State::ShutdownRequested;
    return SEC_E_OK;
}

SECURITY_STATUS QueryContextAttributes(void* context, ULONG attribute, void* buffer) {
    auto* c = static_cast<Context*>(context);
    if (c == nullptr || buffer == nullptr)
        return SEC_E_INVALID_HANDLE;
    switch (attribute) {
        case SECPKG_ATTR_STREAM_SIZES: {
            auto* sizes = static_cast<SecPkgContext_StreamSizes*>(buffer);
            *sizes = SecPkgContext_StreamSizes{kStreamHeader, kStreamTrailer, kStreamMaximumMessage,
                                               4, 16};
            return SEC_E_OK;
        }
        case SECPKG_ATTR_REMOTE_CERT_CONTEXT: {
            X509* peer = SSL_get0_peer_certificate(c->ssl);
            if (peer == nullptr)
                return SEC_E_NO_CREDENTIALS;
            // The chain the server sent travels as the certificate's own store.
            PCCERT_CONTEXT cert = NewCertContext(peer, SSL_get_peer_cert_chain(c->ssl));
            if (cert == nullptr)
                return SEC_E_INSUFFICIENT_MEMORY;
            *static_cast<PCCERT_CONTEXT*>(buffer) = cert;
            return SEC_E_OK;
        }
        case SECPKG_ATTR_SESSION_INFO: {
            auto* info = static_cast<SecPkgContext_SessionInfo*>(buffer);
            *info = SecPkgContext_SessionInfo{};
            if (SSL_session_reused(c->ssl) == 1)
                info->dwFlags = SSL_SESSION_RECONNECT;
            unsigned int cbId = 0;
            const SSL_SESSION* session = SSL_get0_session(c->ssl);
            const unsigned char* id = session ? SSL_SESSION_get_id(session, &cbId) : nullptr;
            info->cbSessionId = std::min<unsigned>(cbId, sizeof info->rgbSessionId);
            if (id != nullptr)
                std::memcpy(info->rgbSessionId, id, info->cbSessionId);
            return SEC_E_OK;
        }
        default:
            return SEC_E_UNSUPPORTED_FUNCTION;
    }
}

// ----- records -----------------------------------------------------------------

SECURITY_STATUS EncryptMessage(void* context, SecBufferDesc* message) {
    auto* c = static_cast<Context*>(context);
    if (c == nullptr)
        return SEC_E_INVALID_HANDLE;
    if (c->state != State::Established && c->state != State::PeerClosed)
        return SEC_E_CONTEXT_EXPIRED;
    SecBuffer* header = FindBuffer(message, SECBUFFER_STREAM_HEADER);
    SecBuffer* data = FindBuffer(message, SECBUFFER_DATA);
    SecBuffer* trailer = FindBuffer(message, SECBUFFER_STREAM_TRAILER);
    if (header == nullptr || data == nullptr || trailer == nullptr ||
        (data->cbBuffer > 0 && data->pvBuffer == nullptr))
        return SEC_E_INVALID_TOKEN;
    if (data->cbBuffer > kStreamMaximumMessage)
        return SEC_E_BUFFER_TOO_SMALL_;

    ERR_clear_error();
    if (data->cbBuffer > 0) {
        int n = SSL_write(c->ssl, data->pvBuffer, static_cast<int>(data->cbBuffer));
        if (n != static_cast<int>(data->cbBuffer)) {
            ERR_clear_error();
            return SEC_E_ENCRYPT_FAILURE;
        }
    }
    std::vector<BYTE> out = Drain(c->wbio);

    // Header first, then as much as the data buffer holds, the rest in the
    // trailer: contiguous buffers then carry the records in order.
    size_t h = std::min<size_t>(out.size(), header->pvBuffer != nullptr ? header->cbBuffer : 0);
    size_t d = std::min<size_t>(out.size() - h, data->cbBuffer);
    size_t t = out.size() - h - d;
    if (t > trailer->cbBuffer || (t > 0 && trailer->pvBuffer == nullptr))
        return SEC_E_INTERNAL_ERROR;
    if (h > 0)
        std::memcpy(header->pvBuffer, out.data(), h);
    if (d > 0)
        std::memcpy(data->pvBuffer, out.data() + h, d);
    if (t > 0)
        std::memcpy(trailer->pvBuffer, out.data() + h + d, t);
    header->cbBuffer = static_cast<ULONG>(h);
    data->cbBuffer = static_cast<ULONG>(d);
    trailer->cbBuffer = static_cast<ULONG>(t);
    return SEC_E_OK;
}

void SetBuffer(SecBuffer& b, ULONG type, BYTE* p, size_t n) {
    b.BufferType = type;
    b.pvBuffer = p;
    b.cbBuffer = static_cast<ULONG>(n);
}

SECURITY_STATUS DecryptMessage(void* context, SecBufferDesc* message) {
    auto* c = static_cast<Context*>(context);
    if (c == nullptr)
        return SEC_E_INVALID_HANDLE;
    if (message == nullptr || message->pBuffers == nullptr || message->cBuffers < 4)
        return SEC_E_INVALID_TOKEN;
    SecBuffer* in = FindBuffer(message, SECBUFFER_DATA);
    if (in == nullptr || (in->cbBuffer > 0 && in->pvBuffer == nullptr))
        return SEC_E_INVALID_TOKEN;
    if (c->state == State::PeerClosed || c->state == State::Closed)
        return SEC_I_CONTEXT_EXPIRED;
    if (c->state != State::Established && c->state != State::ShutdownRequested)
        return SEC_E_INVALID_HANDLE;

    BYTE* base = static_cast<BYTE*>(in->pvBuffer);
    size_t held = in->cbBuffer;
    SecBuffer* b = message->pBuffers;
    std::vector<BYTE> plain(kStreamMaximumMessage + 1024);

    size_t pos = 0;
    while (pos < held) {
        size_t recordSize = 0;
        TlsRecordScan scan = ScanTlsRecord(base + pos, held - pos, &recordSize);
        if (scan == TlsRecordScan::Illegal) {
            c->state = State::Failed;
            return SEC_E_ILLEGAL_MESSAGE;
        }
        if (scan == TlsRecordScan::Incomplete)
            break;

        BIO_write(c->rbio, base + pos, static_cast<int>(recordSize));
        size_t start = pos;
        pos += recordSize;
        size_t got = 0;
        for (;;) {
            ERR_clear_error();
            int n = SSL_read(c->ssl, plain.data() + got, static_cast<int>(plain.size() - got));
            if (n > 0) {
                got += static_cast<size_t>(n);
                if (SSL_pending(c->ssl) > 0 && got < plain.size())
                    continue;
                break;
            }
            int err = SSL_get_error(c->ssl, n);
            if (err == SSL_ERROR_WANT_READ)
                break;  // the record is used up
            if (err == SSL_ERROR_ZERO_RETURN) {
                c->state = State::PeerClosed;
                c->bDataInHand = false;
                ERR_clear_error();
                SetBuffer(b[0], SECBUFFER_STREAM_HEADER, base + start, 0);
                SetBuffer(b[1], SECBUFFER_DATA, base + start, 0);
                SetBuffer(b[2], SECBUFFER_STREAM_TRAILER, base + start, 0);
                SetBuffer(b[3], SECBUFFER_EMPTY, nullptr, 0);
                return SEC_I_CONTEXT_EXPIRED;
            }
            c->state = State::Failed;
            c->bDataInHand = false;
            return StatusFromOpenSslError();
        }
        if (got == 0)
            continue;  // a post-handshake message: on to the next record

        // In place: the plaintext is never longer than the record's body.
        BYTE* text = base + start + kTlsRecordHeader;
        std::memcpy(text, plain.data(), got);
        SetBuffer(b[0], SECBUFFER_STREAM_HEADER, base + start, kTlsRecordHeader);
        SetBuffer(b[1], SECBUFFER_DATA, text, got);
        SetBuffer(b[2], SECBUFFER_STREAM_TRAILER, text + got, recordSize - kTlsRecordHeader - got);
        if (pos < held) {
            SetBuffer(b[3], SECBUFFER_EXTRA, base + pos, held - pos);
            c->bDataInHand = true;
        } else {
            SetBuffer(b[3], SECBUFFER_EMPTY, nullptr, 0);
            c->bDataInHand = false;
        }
        return SEC_E_OK;
    }

    if (pos == 0)
        return SEC_E_INCOMPLETE_MESSAGE;  // not one whole record yet

    // Only records without application data were held.
    SetBuffer(b[0], SECBUFFER_STREAM_HEADER, base, 0);
    SetBuffer(b[1], SECBUFFER_DATA, base + pos, 0);
    SetBuffer(b[2], SECBUFFER_STREAM_TRAILER, base + pos, 0);
    if (pos < held) {
        // The start of the next record: the caller keeps it and reads on.
        SetBuffer(b[3], SECBUFFER_EXTRA, base + pos, held - pos);
    } else if (!c->bDataInHand) {
        // Nothing for the caller yet: an empty EXTRA makes it read again
        // instead of taking 0 bytes for a closed connection.
        SetBuffer(b[3], SECBUFFER_EXTRA, base + held, 0);
    } else {
        SetBuffer(b[3], SECBUFFER_EMPTY, nullptr, 0);
        c->bDataInHand = false;
    }
    return SEC_E_OK;
}

}  // namespace

const SspiPackage& SchannelPackage() {
    static const SspiPackage package{UNISP_NAME_W,      AcquireCredentials,     FreeCredentials,
                                     InitializeContext, CompleteAuthToken,      DeleteContext,
                                     ApplyControlToken, QueryContextAttributes, EncryptMessage,
                                     DecryptMessage};
    return package;
}

bool SchannelTakesSchCredentials() {
    return true;
}

}  // namespace platform
