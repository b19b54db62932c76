#include "ScriptedSchannel.h"

#include <schannel.h>

#include <cstdlib>
#include <cstring>

namespace scripted_schannel {

namespace {

constexpr ULONG kHeader = 5;
constexpr ULONG kTrailerSize = 4;
constexpr char kTrailer[] = "MAC!";
constexpr ULONG kMaximumMessage = 1000;  // small, so that a message takes many records

struct Context {
    bool bEstablished = false;
    bool bShutdown = false;
    bool bAwaitingHandshake = false;  // DecryptMessage handed a handshake record back
};

Context* ContextOf(PCtxtHandle h) {
    return h != nullptr ? reinterpret_cast<Context*>(h->dwLower) : nullptr;
}

SecBuffer* FindBuffer(PSecBufferDesc desc, ULONG type) {
    for (ULONG i = 0; desc != nullptr && i < desc->cBuffers; ++i) {
        if (desc->pBuffers[i].BufferType == type)
            return &desc->pBuffers[i];
    }
    return nullptr;
}

SECURITY_STATUS Refuse(SECURITY_STATUS status, const std::string& why) {
    TheJournal().refusals.push_back(why);
    return status;
}

// The first record of bytes: its type and body, and its whole size; 0 when
// not all of it is there, with the count of bytes still missing in missing.
ULONG ParseRecord(const BYTE* p, ULONG cb, unsigned char& type, std::string& body,
                  ULONG* missing = nullptr) {
    const ULONG size = cb < kHeader ? kHeader : kHeader + ((static_cast<ULONG>(p[3]) << 8) | p[4]);
    if (cb < size) {
        if (missing != nullptr)
            *missing = size - cb;
        return 0;
    }
    type = p[0];
    body.assign(reinterpret_cast<const char*>(p + kHeader), size - kHeader);
    return size;
}

// An output token in memory that FreeContextBuffer releases.
void PutToken(PSecBufferDesc output, const std::string& token) {
    SecBuffer* out = FindBuffer(output, SECBUFFER_TOKEN);
    if (out == nullptr)
        return;
    out->pvBuffer = nullptr;
    out->cbBuffer = 0;
    if (token.empty())
        return;
    out->pvBuffer = std::malloc(token.size());
    std::memcpy(out->pvBuffer, token.data(), token.size());
    out->cbBuffer = static_cast<ULONG>(token.size());
}

SECURITY_STATUS SEC_ENTRY AcquireCredentialsHandle(SEC_WCHAR* /*principal*/, SEC_WCHAR* package,
                                                   ULONG use, void* /*logonId*/, void* authData,
                                                   SEC_GET_KEY_FN /*getKey*/, void* /*argument*/,
                                                   PCredHandle credential, PTimeStamp /*expiry*/) {
    const auto* cred = static_cast<const SCHANNEL_CRED*>(authData);
    if (package == nullptr || std::wstring(package) != UNISP_NAME_W || use != SECPKG_CRED_OUTBOUND)
        return Refuse(SEC_E_SECPKG_NOT_FOUND, "credentials of another package or use");
    if (cred == nullptr || cred->dwVersion != SCHANNEL_CRED_VERSION ||
        (cred->dwFlags & SCH_CRED_MANUAL_CRED_VALIDATION) == 0)
        return Refuse(SEC_E_UNKNOWN_CREDENTIALS, "credentials without manual validation");
    credential->dwLower = 1;
    credential->dwUpper = 0x5C4;
    ++TheJournal().nCredentials;
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY FreeCredentialsHandle(PCredHandle credential) {
    if (credential == nullptr || credential->dwUpper != 0x5C4)
        return Refuse(SEC_E_INVALID_HANDLE, "FreeCredentialsHandle of a handle not given out");
    credential->dwUpper = 0;
    --TheJournal().nCredentials;
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY InitializeSecurityContext(PCredHandle /*credential*/, PCtxtHandle context,
                                                    SEC_WCHAR* target, ULONG /*request*/,
                                                    ULONG /*reserved1*/, ULONG /*representation*/,
                                                    PSecBufferDesc input, ULONG /*reserved2*/,
                                                    PCtxtHandle newContext, PSecBufferDesc output,
                                                    PULONG attributes, PTimeStamp /*expiry*/) {
    Journal& journal = TheJournal();
    *attributes = 0;
    PutToken(output, std::string());
    Context* c = ContextOf(context);
    if (c == nullptr) {
        c = new Context();
        newContext->dwLower = reinterpret_cast<ULONG_PTR>(c);
        newContext->dwUpper = 0xC7;
        ++journal.nContexts;
        journal.targetName = target != nullptr ? target : L"";
        journal.events.push_back("ISC start");
        PutToken(output, Record(kHandshake, "CLIENT-HELLO"));
        return SEC_I_CONTINUE_NEEDED;
    }
    if (c->bShutdown) {
        journal.events.push_back("ISC shutdown");
        PutToken(output, Record(kAlert, "CLOSE"));
        return SEC_E_OK;
    }
    SecBuffer* in = input != nullptr && input->cBuffers >= 2 ? &input->pBuffers[0] : nullptr;
    if (in == nullptr || in->BufferType != SECBUFFER_TOKEN)
        return Refuse(SEC_E_INVALID_TOKEN, "ISC without an input token");
    unsigned char type = 0;
    std::string word;
    const ULONG used =
        ParseRecord(static_cast<const BYTE*>(in->pvBuffer), in->cbBuffer, type, word);
    if (used == 0)
        return SEC_E_INCOMPLETE_MESSAGE;
    if (type != kHandshake)
        return Refuse(SEC_E_ILLEGAL_MESSAGE, "ISC given a record of type " + std::to_string(type));
    journal.events.push_back("ISC " + word);
    SECURITY_STATUS status = SEC_E_OK;
    if (word == "SERVER-HELLO" && !c->bEstablished) {
        PutToken(output, Record(kHandshake, "CLIENT-FINISHED"));
        c->bEstablished = true;
    } else if (word == "TICKET" && c->bEstablished) {
        // Kept for a later connection; nothing to answer.
    } else if (word == "KEY-UPDATE" && c->bEstablished) {
        PutToken(output, Record(kHandshake, "KEY-UPDATE-ANSWER"));
    } else if (word == "HELLO-REQUEST" && c->bEstablished) {
        PutToken(output, Record(kHandshake, "CLIENT-HELLO-2"));
        status = SEC_I_CONTINUE_NEEDED;
    } else if (word == "SERVER-HELLO-2" && c->bEstablished) {
        PutToken(output, Record(kHandshake, "CLIENT-FINISHED-2"));
    } else {
        return Refuse(SEC_E_ILLEGAL_MESSAGE, "handshake message out of place: " + word);
    }
    c->bAwaitingHandshake = false;
    if (used < in->cbBuffer) {
        input->pBuffers[1].BufferType = SECBUFFER_EXTRA;
        input->pBuffers[1].cbBuffer = in->cbBuffer - used;
    }
    return status;
}

SECURITY_STATUS SEC_ENTRY DeleteSecurityContext(PCtxtHandle context) {
    Context* c = ContextOf(context);
    if (c == nullptr || context->dwUpper != 0xC7)
        return Refuse(SEC_E_INVALID_HANDLE, "DeleteSecurityContext of a handle not given out");
    delete c;
    context->dwLower = context->dwUpper = 0;
    --TheJournal().nContexts;
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY ApplyControlToken(PCtxtHandle context, PSecBufferDesc input) {
    Context* c = ContextOf(context);
    SecBuffer* token = FindBuffer(input, SECBUFFER_TOKEN);
    if (c == nullptr || token == nullptr || token->cbBuffer != sizeof(DWORD) ||
        *static_cast<DWORD*>(token->pvBuffer) != SCHANNEL_SHUTDOWN)
        return Refuse(SEC_E_UNSUPPORTED_FUNCTION, "a control token other than SCHANNEL_SHUTDOWN");
    c->bShutdown = true;
    TheJournal().events.push_back("shutdown");
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY QueryContextAttributes(PCtxtHandle context, ULONG attribute,
                                                 void* buffer) {
    if (ContextOf(context) == nullptr)
        return Refuse(SEC_E_INVALID_HANDLE, "QueryContextAttributesW without a context");
    if (attribute != SECPKG_ATTR_STREAM_SIZES)
        return Refuse(SEC_E_UNSUPPORTED_FUNCTION, "attribute " + std::to_string(attribute));
    *static_cast<SecPkgContext_StreamSizes*>(buffer) =
        SecPkgContext_StreamSizes{kHeader, kTrailerSize, kMaximumMessage, 4, 0};
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY FreeContextBuffer(void* buffer) {
    std::free(buffer);
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY EncryptMessage(PCtxtHandle context, ULONG /*qop*/, PSecBufferDesc message,
                                         ULONG /*sequence*/) {
    Context* c = ContextOf(context);
    SecBuffer* header = FindBuffer(message, SECBUFFER_STREAM_HEADER);
    SecBuffer* data = FindBuffer(message, SECBUFFER_DATA);
    SecBuffer* trailer = FindBuffer(message, SECBUFFER_STREAM_TRAILER);
    if (c == nullptr || !c->bEstablished || header == nullptr || data == nullptr ||
        trailer == nullptr || header->cbBuffer < kHeader || trailer->cbBuffer < kTrailerSize ||
        data->cbBuffer > kMaximumMessage)
        return Refuse(SEC_E_INVALID_TOKEN, "EncryptMessage with buffers of the wrong shape");
    TheJournal().plaintextSent.append(static_cast<const char*>(data->pvBuffer), data->cbBuffer);
    const ULONG length = data->cbBuffer + kTrailerSize;
    const BYTE bytes[kHeader] = {kApplication, 3, 3, static_cast<BYTE>(length >> 8),
                                 static_cast<BYTE>(length & 0xFF)};
    std::memcpy(header->pvBuffer, bytes, kHeader);
    header->cbBuffer = kHeader;
    std::memcpy(trailer->pvBuffer, kTrailer, kTrailerSize);
    trailer->cbBuffer = kTrailerSize;
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY DecryptMessage(PCtxtHandle context, PSecBufferDesc message,
                                         ULONG /*sequence*/, PULONG /*qop*/) {
    Context* c = ContextOf(context);
    if (c == nullptr || message == nullptr || message->cBuffers < 4 ||
        message->pBuffers[0].BufferType != SECBUFFER_DATA)
        return Refuse(SEC_E_INVALID_TOKEN, "DecryptMessage with buffers of the wrong shape");
    if (c->bAwaitingHandshake)
        return Refuse(SEC_E_OUT_OF_SEQUENCE,
                      "DecryptMessage again before the handshake took its message");
    SecBuffer* b = message->pBuffers;
    auto* p = static_cast<BYTE*>(b[0].pvBuffer);
    const ULONG cb = b[0].cbBuffer;
    unsigned char type = 0;
    std::string body;
    ULONG missing = 0;
    const ULONG used = ParseRecord(p, cb, type, body, &missing);
    if (used == 0) {
        b[1] = SecBuffer{missing, SECBUFFER_MISSING, nullptr};
        return SEC_E_INCOMPLETE_MESSAGE;
    }
    b[3] = used < cb ? SecBuffer{cb - used, SECBUFFER_EXTRA, p + used}
                     : SecBuffer{0, SECBUFFER_EMPTY, nullptr};
    if (type == kHandshake) {
        // The message is for the handshake: it stays where it is, as the
        // start of the extra bytes.
        TheJournal().events.push_back("decrypt " + body);
        c->bAwaitingHandshake = true;
        b[0] = SecBuffer{0, SECBUFFER_STREAM_HEADER, p};
        b[1] = SecBuffer{0, SECBUFFER_DATA, p};
        b[2] = SecBuffer{0, SECBUFFER_STREAM_TRAILER, p};
        b[3] = SecBuffer{cb, SECBUFFER_EXTRA, p};
        return SEC_I_RENEGOTIATE;
    }
    if (type == kAlert)
        return SEC_I_CONTEXT_EXPIRED;
    if (type != kApplication || body.size() < kTrailerSize ||
        body.compare(body.size() - kTrailerSize, kTrailerSize, kTrailer) != 0)
        return Refuse(SEC_E_MESSAGE_ALTERED, "a record the peer did not make");
    const ULONG text = static_cast<ULONG>(body.size()) - kTrailerSize;
    b[0] = SecBuffer{kHeader, SECBUFFER_STREAM_HEADER, p};
    b[1] = SecBuffer{text, SECBUFFER_DATA, p + kHeader};
    b[2] = SecBuffer{kTrailerSize, SECBUFFER_STREAM_TRAILER, p + kHeader + text};
    return SEC_E_OK;
}

}  // namespace

std::string Record(unsigned char type, const std::string& body) {
    std::string record{static_cast<char>(type), 3, 3, static_cast<char>(body.size() >> 8),
                       static_cast<char>(body.size() & 0xFF)};
    return record + body;
}

std::string Application(const std::string& text) {
    return Record(kApplication, text + kTrailer);
}

Journal& TheJournal() {
    static Journal journal;
    return journal;
}

PSecurityFunctionTableW SEC_ENTRY InitSecurityInterfaceW() {
    static SecurityFunctionTableW table = [] {
        SecurityFunctionTableW t{};
        t.dwVersion = SECURITY_SUPPORT_PROVIDER_INTERFACE_VERSION;
        t.AcquireCredentialsHandleW = &AcquireCredentialsHandle;
        t.FreeCredentialsHandle = &FreeCredentialsHandle;
        t.InitializeSecurityContextW = &InitializeSecurityContext;
        t.DeleteSecurityContext = &DeleteSecurityContext;
        t.ApplyControlToken = &ApplyControlToken;
        t.QueryContextAttributesW = &QueryContextAttributes;
        t.FreeContextBuffer = &FreeContextBuffer;
        t.EncryptMessage = &EncryptMessage;
        t.DecryptMessage = &DecryptMessage;
        return t;
    }();
    return &table;
}

}  // namespace scripted_schannel
