// TLS 1.3 post-handshake messages and a server's renegotiation
// (SEC_I_RENEGOTIATE), which Wine's Schannel (TLS 1.2 at most, no
// renegotiation) cannot show: the provider's GetProcAddress for SCHANNEL.DLL's
// InitSecurityInterfaceW hands it the table of a scripted package, its peer a
// scripted server; everything else is real. The package keeps TLS's record
// header but sends bodies as plain text (application records end in a
// four-byte trailer), and does what Windows' Schannel does there:
//  - DecryptMessage answers a handshake record with SEC_I_RENEGOTIATE, no data,
//    and the record with whatever follows it as SECBUFFER_EXTRA; asked to
//    decrypt again before the handshake has taken that record, it refuses with
//    SEC_E_OUT_OF_SEQUENCE;
//  - InitializeSecurityContextW takes the record as its input token: a session
//    ticket silently, a key update with an answer token, a hello request by
//    starting a second handshake; the bytes after it come back as
//    SECBUFFER_EXTRA.
// Handshake and alert records carry one word each (the dialogue below).
// The same package shows what the provider asks of Schannel and of the chain
// engine, and how it takes their answers, for the Windows versions and the
// revocation answers that Wine does not have.
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#include <windows.h>

#define SECURITY_WIN32
#include <security.h>
#define SCHANNEL_USE_BLACKLISTS
#include <subauth.h>
// After security.h and subauth.h, whose types it uses.
#include <schannel.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "ImportPatch.h"
#include "ScriptedSmtpServer.h"
#include "SendFixture.h"

namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr unsigned char kHandshake = 22;
constexpr unsigned char kApplication = 23;
constexpr unsigned char kAlert = 21;

// What the package saw, in order: "ISC <word>", "decrypt <word>", "shutdown".
struct Journal {
    std::vector<std::string> events;
    std::string plaintextSent;  // every byte given to EncryptMessage
    std::wstring targetName;    // of the first InitializeSecurityContextW
    int nCredentials = 0;       // held now
    int nContexts = 0;          // held now (one connection at a time)
    bool bEstablished = false;
    bool bShutdown = false;
    bool bAwaitingHandshake = false;  // DecryptMessage handed a handshake record back
    DWORD dwBuild = 0;                // RtlGetVersion's answer; 0: the system's own
    bool bAskForCertificate = false;  // the server hello wants a client certificate
    PCCERT_CONTEXT certs[2] = {};     // the server's, before and after a renegotiation
    bool bRenegotiated = false;
    DWORD dwCredVersion = 0;        // of the credential record
    DWORD dwProtocols = 0;          // SCHANNEL_CRED: enabled; SCH_CREDENTIALS: disabled
    DWORD dwLoadFlags = 0;          // of LoadLibraryExW for SCHANNEL.DLL
    std::vector<DWORD> chainFlags;  // of each chain request
    std::string usage;              // the usage the last one asked for
    DWORD dwUrlTimeout = 0;         // and its URL retrieval time
    DWORD dwPolicyFlags = 0;
    std::vector<DWORD> answers;  // of the SSL policy, one a certificate (then 0)
} g_journal;

// A record as the peer writes it.
std::string Record(unsigned char type, const std::string& body) {
    std::string record{static_cast<char>(type), 3, 3, static_cast<char>(body.size() >> 8),
                       static_cast<char>(body.size() & 0xFF)};
    return record + body;
}

constexpr ULONG kHeader = 5;
constexpr ULONG kTrailerSize = 4;
constexpr char kTrailer[] = "MAC!";
constexpr ULONG kMaximumMessage = 1000;  // small, so that a message takes many records

SecBuffer* FindBuffer(PSecBufferDesc desc, ULONG type) {
    for (ULONG i = 0; desc != nullptr && i < desc->cBuffers; ++i) {
        if (desc->pBuffers[i].BufferType == type)
            return &desc->pBuffers[i];
    }
    return nullptr;
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
    if (SecBuffer* out = FindBuffer(output, SECBUFFER_TOKEN)) {
        out->pvBuffer = token.empty()
                            ? nullptr
                            : std::memcpy(std::malloc(token.size()), token.data(), token.size());
        out->cbBuffer = static_cast<ULONG>(token.size());
    }
}

SECURITY_STATUS SEC_ENTRY AcquireCredentialsHandle(SEC_WCHAR* /*principal*/, SEC_WCHAR* package,
                                                   ULONG use, void* /*logonId*/, void* authData,
                                                   SEC_GET_KEY_FN /*getKey*/, void* /*argument*/,
                                                   PCredHandle credential, PTimeStamp /*expiry*/) {
    if (package == nullptr || std::wstring(package) != UNISP_NAME_W || use != SECPKG_CRED_OUTBOUND)
        return SEC_E_SECPKG_NOT_FOUND;
    const DWORD dwVersion = authData != nullptr ? *static_cast<const DWORD*>(authData) : 0;
    DWORD dwFlags = 0;
    if (dwVersion == SCHANNEL_CRED_VERSION) {
        const auto* cred = static_cast<const SCHANNEL_CRED*>(authData);
        dwFlags = cred->dwFlags;
        g_journal.dwProtocols = cred->grbitEnabledProtocols;
    } else if (dwVersion == SCH_CREDENTIALS_VERSION) {
        const auto* cred = static_cast<const SCH_CREDENTIALS*>(authData);
        dwFlags = cred->dwFlags;
        g_journal.dwProtocols =
            cred->cTlsParameters == 1 ? cred->pTlsParameters->grbitDisabledProtocols : ~0u;
    }
    if ((dwFlags & SCH_CRED_MANUAL_CRED_VALIDATION) == 0)
        return SEC_E_UNKNOWN_CREDENTIALS;
    g_journal.dwCredVersion = dwVersion;
    *credential = CredHandle{1, 1};
    ++g_journal.nCredentials;
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY FreeCredentialsHandle(PCredHandle /*credential*/) {
    --g_journal.nCredentials;
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY InitializeSecurityContext(PCredHandle /*credential*/, PCtxtHandle context,
                                                    SEC_WCHAR* target, ULONG /*request*/,
                                                    ULONG /*reserved1*/, ULONG /*representation*/,
                                                    PSecBufferDesc input, ULONG /*reserved2*/,
                                                    PCtxtHandle newContext, PSecBufferDesc output,
                                                    PULONG attributes, PTimeStamp /*expiry*/) {
    Journal& journal = g_journal;
    *attributes = 0;
    PutToken(output, std::string());
    if (context == nullptr || context->dwLower == 0) {
        *newContext = CtxtHandle{1, 1};
        ++journal.nContexts;
        journal.targetName = target != nullptr ? target : L"";
        journal.events.push_back("ISC start");
        PutToken(output, Record(kHandshake, "CLIENT-HELLO"));
        return SEC_I_CONTINUE_NEEDED;
    }
    if (journal.bShutdown) {
        journal.events.push_back("ISC shutdown");
        PutToken(output, Record(kAlert, "CLOSE"));
        return SEC_E_OK;
    }
    SecBuffer* in = input != nullptr && input->cBuffers >= 2 ? &input->pBuffers[0] : nullptr;
    if (in == nullptr || in->BufferType != SECBUFFER_TOKEN)
        return SEC_E_INVALID_TOKEN;
    unsigned char type = 0;
    std::string word;
    const ULONG used =
        ParseRecord(static_cast<const BYTE*>(in->pvBuffer), in->cbBuffer, type, word);
    if (used == 0)
        return SEC_E_INCOMPLETE_MESSAGE;
    if (type != kHandshake)
        return SEC_E_ILLEGAL_MESSAGE;
    if (word == "SERVER-HELLO" && journal.bAskForCertificate) {
        // Windows may leave the input buffers changed by this answer.
        journal.bAskForCertificate = false;
        journal.events.push_back("ISC incomplete");
        input->pBuffers[1] = SecBuffer{in->cbBuffer, SECBUFFER_EXTRA, nullptr};
        in->cbBuffer = 0;
        return SEC_I_INCOMPLETE_CREDENTIALS;
    }
    journal.events.push_back("ISC " + word);
    journal.bRenegotiated |= word == "SERVER-HELLO-2";
    // Each server message and the client's answer: a ticket is kept for a
    // later connection, with nothing to answer.
    static const std::map<std::string, std::string> answers = {
        {"SERVER-HELLO", "CLIENT-FINISHED"},
        {"TICKET", ""},
        {"KEY-UPDATE", "KEY-UPDATE-ANSWER"},
        {"HELLO-REQUEST", "CLIENT-HELLO-2"},
        {"SERVER-HELLO-2", "CLIENT-FINISHED-2"}};
    const auto answer = answers.find(word);
    if (answer == answers.end() || journal.bEstablished != (word != "SERVER-HELLO"))
        return SEC_E_ILLEGAL_MESSAGE;
    if (!answer->second.empty())
        PutToken(output, Record(kHandshake, answer->second));
    journal.bEstablished = true;
    journal.bAwaitingHandshake = false;
    const SECURITY_STATUS status = word == "HELLO-REQUEST" ? SEC_I_CONTINUE_NEEDED : SEC_E_OK;
    if (used < in->cbBuffer) {
        input->pBuffers[1].BufferType = SECBUFFER_EXTRA;
        input->pBuffers[1].cbBuffer = in->cbBuffer - used;
    }
    return status;
}

SECURITY_STATUS SEC_ENTRY DeleteSecurityContext(PCtxtHandle context) {
    *context = CtxtHandle{0, 0};
    --g_journal.nContexts;
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY ApplyControlToken(PCtxtHandle /*context*/, PSecBufferDesc input) {
    SecBuffer* token = FindBuffer(input, SECBUFFER_TOKEN);
    if (token == nullptr || token->cbBuffer != sizeof(DWORD) ||
        *static_cast<DWORD*>(token->pvBuffer) != SCHANNEL_SHUTDOWN)
        return SEC_E_UNSUPPORTED_FUNCTION;
    g_journal.bShutdown = true;
    g_journal.events.push_back("shutdown");
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY QueryContextAttributes(PCtxtHandle /*context*/, ULONG attribute,
                                                 void* buffer) {
    const PCCERT_CONTEXT cert = g_journal.certs[g_journal.bRenegotiated ? 1 : 0];
    if (attribute == SECPKG_ATTR_REMOTE_CERT_CONTEXT && cert != nullptr) {
        *static_cast<PCCERT_CONTEXT*>(buffer) = ::CertDuplicateCertificateContext(cert);
        return SEC_E_OK;
    }
    if (attribute != SECPKG_ATTR_STREAM_SIZES)
        return SEC_E_UNSUPPORTED_FUNCTION;
    *static_cast<SecPkgContext_StreamSizes*>(buffer) =
        SecPkgContext_StreamSizes{kHeader, kTrailerSize, kMaximumMessage, 4, 0};
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY FreeContextBuffer(void* buffer) {
    std::free(buffer);
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY EncryptMessage(PCtxtHandle /*context*/, ULONG /*qop*/,
                                         PSecBufferDesc message, ULONG /*sequence*/) {
    SecBuffer* header = FindBuffer(message, SECBUFFER_STREAM_HEADER);
    SecBuffer* data = FindBuffer(message, SECBUFFER_DATA);
    SecBuffer* trailer = FindBuffer(message, SECBUFFER_STREAM_TRAILER);
    if (!g_journal.bEstablished || header == nullptr || data == nullptr || trailer == nullptr ||
        header->cbBuffer < kHeader || trailer->cbBuffer < kTrailerSize ||
        data->cbBuffer > kMaximumMessage)
        return SEC_E_INVALID_TOKEN;
    g_journal.plaintextSent.append(static_cast<const char*>(data->pvBuffer), data->cbBuffer);
    const std::string body(data->cbBuffer + kTrailerSize, '\0');  // the text and the trailer
    std::memcpy(header->pvBuffer, Record(kApplication, body).data(), kHeader);
    header->cbBuffer = kHeader;
    std::memcpy(trailer->pvBuffer, kTrailer, kTrailerSize);
    trailer->cbBuffer = kTrailerSize;
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY DecryptMessage(PCtxtHandle /*context*/, PSecBufferDesc message,
                                         ULONG /*sequence*/, PULONG /*qop*/) {
    if (message == nullptr || message->cBuffers < 4 ||
        message->pBuffers[0].BufferType != SECBUFFER_DATA)
        return SEC_E_INVALID_TOKEN;
    if (g_journal.bAwaitingHandshake)
        return SEC_E_OUT_OF_SEQUENCE;
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
        g_journal.events.push_back("decrypt " + body);
        g_journal.bAwaitingHandshake = true;
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
        return SEC_E_MESSAGE_ALTERED;
    const ULONG text = static_cast<ULONG>(body.size()) - kTrailerSize;
    b[0] = SecBuffer{kHeader, SECBUFFER_STREAM_HEADER, p};
    b[1] = SecBuffer{text, SECBUFFER_DATA, p + kHeader};
    b[2] = SecBuffer{kTrailerSize, SECBUFFER_STREAM_TRAILER, p + kHeader + text};
    return SEC_E_OK;
}

// An application record: the text and the trailer.
std::string Application(const std::string& text) {
    return Record(kApplication, text + kTrailer);
}

PSecurityFunctionTableW SEC_ENTRY InitSecurityInterfaceW() {
    static SecurityFunctionTableW table{.dwVersion = SECURITY_SUPPORT_PROVIDER_INTERFACE_VERSION,
                                        .AcquireCredentialsHandleW = &AcquireCredentialsHandle,
                                        .FreeCredentialsHandle = &FreeCredentialsHandle,
                                        .InitializeSecurityContextW = &InitializeSecurityContext,
                                        .DeleteSecurityContext = &DeleteSecurityContext,
                                        .ApplyControlToken = &ApplyControlToken,
                                        .QueryContextAttributesW = &QueryContextAttributes,
                                        .FreeContextBuffer = &FreeContextBuffer,
                                        .EncryptMessage = &EncryptMessage,
                                        .DecryptMessage = &DecryptMessage};
    return &table;
}

LONG WINAPI RtlGetVersion(OSVERSIONINFOW* version) {
    version->dwMajorVersion = 10;
    version->dwMinorVersion = 0;
    version->dwBuildNumber = g_journal.dwBuild;
    return 0;
}

struct SchannelTable {
    static inline ImportPatch* patch = nullptr;

    static FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
        const bool bNamed = HIWORD(reinterpret_cast<ULONG_PTR>(name)) != 0;
        if (bNamed && std::strcmp(name, "InitSecurityInterfaceW") == 0 &&
            module == ::GetModuleHandleW(L"schannel.dll"))
            return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&InitSecurityInterfaceW));
        if (bNamed && std::strcmp(name, "RtlGetVersion") == 0 && g_journal.dwBuild != 0)
            return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&RtlGetVersion));
        return patch->Original<decltype(&::GetProcAddress)>()(module, name);
    }
    // The provider's GetProcAddress through the scripted package, with a new journal.
    struct Patch : ImportPatch {
        Patch()
            : ImportPatch(ProviderModule(), "KERNEL32.dll", "GetProcAddress",
                          reinterpret_cast<const void*>(&SchannelTable::GetProcAddress)) {
            EXPECT_EQ(Error(), "");
            patch = this;
            g_journal = Journal{};
        }
    };
};

ScriptedSmtpServer& UpToClientHello(ScriptedSmtpServer& s) {
    return s.Send("220 mail.test\r\n")
        .Expect("EHLO")
        .Send("250-mail.test\r\n250-STARTTLS\r\n250 AUTH PLAIN\r\n")
        .Exchange("STARTTLS", "220 go ahead\r\n")
        .ExpectText("CLIENT-HELLO");
}

// STARTTLS and a whole session over the scripted package, with every message
// the server's side of TLS 1.3 or 1.2 may send after the handshake: a session
// ticket alone, a ticket in one piece with a reply, a key update that wants
// an answer, and a renegotiation; a reply in a record larger than the stream
// sizes promise (the receive buffer grows to it); the bytes whole or a byte
// per segment.
void PostHandshakeDialogue(ScriptedSmtpServer& s, bool bDripped) {
    UpToClientHello(s);
    const std::pair<std::string, const char*> steps[] = {
        {Record(kHandshake, "SERVER-HELLO"), "CLIENT-FINISHED"},
        {Record(kHandshake, "TICKET"), "EHLO "},
        {Record(kHandshake, "TICKET") + Application("250-mail.test\r\n250 AUTH PLAIN\r\n"),
         "AUTH PLAIN\r\n"},
        {Application("334 \r\n"), "AHUAcA==\r\n"},  // "\0u\0p"
        {Application("235 ok\r\n"), "MAIL FROM:"},
        {Record(kHandshake, "KEY-UPDATE"), "KEY-UPDATE-ANSWER"},
        {Application("250 " + std::string(3000, 'k') + "\r\n"), "RCPT TO:"},
        {Record(kHandshake, "HELLO-REQUEST"), "CLIENT-HELLO-2"},
        {Record(kHandshake, "SERVER-HELLO-2"), "CLIENT-FINISHED-2"},
        {Application("250 ok\r\n"), "DATA\r\n"},
        {Application("354 go ahead\r\n"), "\r\n.\r\n"},
        {Application("250 queued\r\n"), "QUIT\r\n"},
        {Application("221 bye\r\n"), "CLOSE"},
    };
    for (const auto& [bytes, answer] : steps) {
        if (bDripped)
            s.SendSegments(Dripped(bytes), std::chrono::milliseconds(1));
        else
            s.Send(bytes);
        s.ExpectText(answer);
    }
}

using SubstitutedSchannelTest = SendFixture;

TEST_F(SubstitutedSchannelTest, HandshakeMessagesAfterTheHandshakeNeverEndARead) {
    for (const bool bDripped : {false, true}) {
        SCOPED_TRACE(bDripped ? "a byte per segment" : "records whole");
        SchannelTable::Patch patch;
        ScriptedSmtpServer server;
        PostHandshakeDialogue(server, bDripped);
        // The scripted package has no certificate to show.
        Configure(StoreSettings{"127.0.0.1", server.Start(), kAuthPlain, true, 0x4000, "u", "p"});
        HostMessage message = SimpleText();
        message.Subject(u"Over the scripted package");
        EXPECT_EQ(Send(message.Record()), MAILERR_OK) << ToUtf8(Description());
        ASSERT_TRUE(server.Finish());
        EXPECT_THAT(server.Errors(), IsEmpty());
        // Each message went to DecryptMessage once and then to the handshake.
        EXPECT_THAT(g_journal.events,
                    ElementsAre("ISC start", "ISC SERVER-HELLO", "decrypt TICKET", "ISC TICKET",
                                "decrypt TICKET", "ISC TICKET", "decrypt KEY-UPDATE",
                                "ISC KEY-UPDATE", "decrypt HELLO-REQUEST", "ISC HELLO-REQUEST",
                                "ISC SERVER-HELLO-2", "shutdown", "ISC shutdown"));
        EXPECT_EQ(g_journal.targetName, L"127.0.0.1");
        EXPECT_NE(g_journal.plaintextSent.find("Subject: Over the scripted package\r\n"),
                  std::string::npos);
        EXPECT_EQ(g_journal.nContexts, 0) << "the context was deleted";
        EXPECT_EQ(g_journal.nCredentials, 0) << "the credentials were freed";
    }
}

// A record longer than TLS allows ends the session once the receive buffer
// holds the largest one, however many bytes the package says are missing.
TEST_F(SubstitutedSchannelTest, ARecordLongerThanTlsAllowsIsRefused) {
    SchannelTable::Patch patch;
    ScriptedSmtpServer server;
    UpToClientHello(server)
        .Send(Record(kHandshake, "SERVER-HELLO"))
        .ExpectText("CLIENT-FINISHED")
        .Send(Application(std::string(16384 + 2048 + 1 - kTrailerSize, '2')))
        .StaySilent();
    Configure(StoreSettings{"127.0.0.1", server.Start(), kAuthPlain, true, 0x4000, "u", "p"});
    EXPECT_EQ(Send(SimpleText().Record()), MAILERR_ACCESS_DENIED);
    EXPECT_THAT(ToUtf8(Description()),
                ::testing::HasSubstr("The server sent a TLS record larger than TLS allows."));
    ASSERT_TRUE(server.Finish());
    EXPECT_EQ(g_journal.nContexts, 0) << "the context was deleted";
}

// The test CA, and the same bytes with the last one of the signature
// changed: two certificates that differ.
void TwoCertificates(PCCERT_CONTEXT (&certs)[2]) {
    std::ifstream file(HostPath(PeerValue("path.certs") + "/ca.der"), std::ios::binary);
    std::string der((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    for (PCCERT_CONTEXT& c : certs) {
        c = ::CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<BYTE*>(der.data()),
                                           static_cast<DWORD>(der.size()));
        der.back() ^= 1;
    }
}

// The provider's imports that ask for SCHANNEL.DLL, a chain and the SSL
// policy, noted; the policy answers as each row says (a check again without
// revocation, the waiver, answers for the rest).
struct Asked {
    static inline ImportPatch *load = nullptr, *chain = nullptr;

    static HMODULE WINAPI LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags) {
        if (::lstrcmpiW(name, L"SCHANNEL.DLL") == 0)
            g_journal.dwLoadFlags = flags;
        return load->Original<decltype(&::LoadLibraryExW)>()(name, file, flags);
    }
    static BOOL WINAPI Chain(HCERTCHAINENGINE engine, PCCERT_CONTEXT cert, LPFILETIME time,
                             HCERTSTORE extra, PCERT_CHAIN_PARA para, DWORD flags, LPVOID reserved,
                             PCCERT_CHAIN_CONTEXT* result) {
        g_journal.chainFlags.push_back(flags);
        const CERT_ENHKEY_USAGE& usage = para->RequestedUsage.Usage;
        g_journal.usage = usage.cUsageIdentifier == 1 ? usage.rgpszUsageIdentifier[0] : "";
        g_journal.dwUrlTimeout = para->dwUrlRetrievalTimeout;
        return chain->Original<decltype(&::CertGetCertificateChain)>()(
            engine, cert, time, extra, para, flags, reserved, result);
    }
    static BOOL WINAPI Policy(LPCSTR, PCCERT_CHAIN_CONTEXT, PCERT_CHAIN_POLICY_PARA para,
                              PCERT_CHAIN_POLICY_STATUS status) {
        g_journal.dwPolicyFlags = para->dwFlags;
        const auto* ssl =
            static_cast<const SSL_EXTRA_CERT_CHAIN_POLICY_PARA*>(para->pvExtraPolicyPara);
        std::vector<DWORD>& answers = g_journal.answers;
        const bool bAnswer = (ssl->fdwChecks & 0x80) == 0 && !answers.empty();
        status->dwError = bAnswer ? answers.front() : 0;
        if (bAnswer)
            answers.erase(answers.begin());
        return TRUE;
    }
};

TEST_F(SubstitutedSchannelTest, WhatTheProviderAsksOfSchannelAndTheChainEngine) {
    SchannelTable::Patch table;
    ImportPatch load(ProviderModule(), "KERNEL32.dll", "LoadLibraryExW",
                     reinterpret_cast<const void*>(&Asked::LoadLibraryExW));
    ImportPatch chain(ProviderModule(), "CRYPT32.dll", "CertGetCertificateChain",
                      reinterpret_cast<const void*>(&Asked::Chain));
    ImportPatch policy(ProviderModule(), "CRYPT32.dll", "CertVerifyCertificateChainPolicy",
                       reinterpret_cast<const void*>(&Asked::Policy));
    for (const ImportPatch* p : {&load, &chain, &policy})
        ASSERT_EQ(p->Error(), "");
    Asked::load = &load;
    Asked::chain = &chain;
    // Windows 10 1803 (a request for a client certificate too), 1809, 11.
    const struct {
        DWORD dwBuild;
        unsigned certFlags;
        std::vector<DWORD> answers;  // of the policy, one a certificate
        uint32_t native;             // 0: delivered
    } rows[] = {{17134, 0, {}, 0},
                {17763, 0, {}, 0},
                {22621, 0, {0x80092012, 0x80092013}, 0},   // unknown, offline: waived
                {22621, 0x80, {}, 0},                      // revocation waived: not asked
                {22621, 0, {0x80092010}, 0x80092010},      // revoked
                {22621, 0, {0, 0x800B010F}, 0x800B010F}};  // the renegotiation's: another name
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.dwBuild) + " answers " +
                     std::to_string(row.answers.size()));
        g_journal = Journal{};
        g_journal.dwBuild = row.dwBuild;
        g_journal.bAskForCertificate = row.dwBuild == 17134;
        TwoCertificates(g_journal.certs);
        g_journal.answers = row.answers;
        ScriptedSmtpServer server;
        PostHandshakeDialogue(server, false);
        Configure(
            StoreSettings{"localhost", server.Start(), kAuthPlain, true, row.certFlags, "u", "p"});
        HostMessage message = SimpleText();
        EXPECT_EQ(Send(message.Record()) == MAILERR_OK, row.native == 0) << ToUtf8(Description());
        if (row.native == 0) {
            ASSERT_TRUE(server.Finish());
            EXPECT_THAT(server.Errors(), IsEmpty());
            EXPECT_EQ(g_journal.chainFlags.size(), 2u) << "the renegotiation's checked again";
        }
        char text[64];
        std::snprintf(text, sizeof text, "PolicyStatus error code = %x.", row.native);
        EXPECT_EQ(Description().find(FromUtf8(text)) != std::u16string::npos, row.native != 0);
        EXPECT_EQ(std::count(g_journal.events.begin(), g_journal.events.end(), "ISC incomplete"),
                  row.dwBuild == 17134 ? 1 : 0);
        // From 1809 on SCH_CREDENTIALS without SSL 2 and 3, TLS 1.0 and 1.1;
        // before, SCHANNEL_CRED with TLS 1.2.
        const bool b1809 = row.dwBuild >= 17763;
        EXPECT_EQ(g_journal.dwCredVersion, b1809 ? 5u : 4u);
        EXPECT_EQ(g_journal.dwProtocols, b1809 ? 0x2A8u : 0x800u);
        EXPECT_EQ(g_journal.dwLoadFlags, static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32));
        // Revocation of the chain but its root, URL retrieval timed altogether.
        EXPECT_THAT(g_journal.chainFlags, Each(row.certFlags == 0x80 ? 0u : 0x48000000u));
        EXPECT_EQ(g_journal.usage, szOID_PKIX_KP_SERVER_AUTH);
        EXPECT_GT(g_journal.dwUrlTimeout, 0u);
        EXPECT_LE(g_journal.dwUrlTimeout, 60000u);
        EXPECT_EQ(g_journal.dwPolicyFlags, CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS);
        for (PCCERT_CONTEXT c : g_journal.certs)
            ::CertFreeCertificateContext(c);
    }
}

}  // namespace
