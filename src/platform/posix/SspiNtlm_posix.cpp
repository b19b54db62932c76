// The "NTLM" security package over GSSAPI with the NTLMSSP mechanism
// (gss-ntlmssp, OID 1.3.6.1.4.1.311.2.2.10).
//
// Single sign-on here means the default credentials of the mechanism: the
// user of the file named by NTLM_USER_FILE (lines DOMAIN:user:password), or
// whatever else the mechanism is configured to find for the logged-on user.
// The package is an initiator only, which is all a mail client needs: it hands
// out the negotiate token, then the authenticate token for the server's
// challenge. A wrong password is noticed by the server, not here.
//
// GSSAPI failures become the SSPI statuses a caller of the Windows package
// would see for the same cause. The mechanism's own wording of a failure goes
// to the debug output, since the status alone loses it.
//
// gss-ntlmssp (1.2) loses several kilobytes of OpenSSL state at every
// credential acquisition. A host that runs for months would grow by that with
// every NTLM login, so the credentials of a user file are acquired once and
// shared until the file (or the user name variables) change.
#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "platform/DebugOutput.h"
#include "platform/SspiPackage.h"
#include "platform/Utf.h"

namespace platform {

namespace {

gss_OID_desc g_ntlmsspOid = {10, const_cast<char*>("\x2b\x06\x01\x04\x01\x82\x37\x02\x02\x0a")};

// The name a context is initiated against when the caller names no target:
// the "host" service of this machine.
constexpr const char* kDefaultTarget = "host";

struct GssCredential {
    gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;
    GssCredential() = default;
    GssCredential(const GssCredential&) = delete;
    GssCredential& operator=(const GssCredential&) = delete;
    ~GssCredential() {
        OM_uint32 minor = 0;
        if (cred != GSS_C_NO_CREDENTIAL)
            gss_release_cred(&minor, &cred);
    }
};

// What a credential handle holds: its share of the mechanism's credentials.
struct NtlmCredential {
    std::shared_ptr<GssCredential> gss;
};

// The credentials of the current user file, kept for the next acquisition.
struct CredentialCache {
    std::mutex mutex;
    std::string key;
    std::shared_ptr<GssCredential> gss;
};

CredentialCache& Cache() {
    // Never destroyed: credentials still in use at exit must not be released
    // behind their holders' backs.
    static CredentialCache* cache = new CredentialCache;
    return *cache;
}

struct NtlmContext {
    gss_ctx_id_t ctx = GSS_C_NO_CONTEXT;
    gss_name_t target = GSS_C_NO_NAME;
    bool complete = false;
};

enum class Step { Acquire, Initialize };

std::string GssStatusText(OM_uint32 status, int type) {
    std::string text;
    OM_uint32 messageContext = 0;
    do {
        OM_uint32 minor = 0;
        gss_buffer_desc message = GSS_C_EMPTY_BUFFER;
        OM_uint32 major =
            gss_display_status(&minor, status, type, &g_ntlmsspOid, &messageContext, &message);
        if (GSS_ERROR(major))
            break;
        if (!text.empty())
            text += "; ";
        text.append(static_cast<const char*>(message.value), message.length);
        gss_release_buffer(&minor, &message);
    } while (messageContext != 0);
    return text;
}

void ReportGssFailure(const char* call, OM_uint32 major, OM_uint32 minor) {
    std::string line =
        std::string("NTLM: ") + call + " failed: " + GssStatusText(major, GSS_C_GSS_CODE);
    if (minor != 0)
        line += " (" + GssStatusText(minor, GSS_C_MECH_CODE) + ")";
    OutputDebugStringW(Utf8ToUtf16(line).c_str());
}

// The SSPI status for a failed GSSAPI call.
SECURITY_STATUS MapGssFailure(Step step, OM_uint32 major, OM_uint32 minor) {
    switch (GSS_ROUTINE_ERROR(major)) {
        case GSS_S_BAD_MECH:
        case GSS_S_UNAVAILABLE:
            // The mechanism is not installed or not configured in mech.d.
            return SEC_E_SECPKG_NOT_FOUND;
        case GSS_S_NO_CRED:
            return SEC_E_NO_CREDENTIALS;
        case GSS_S_DEFECTIVE_CREDENTIAL:
        case GSS_S_CREDENTIALS_EXPIRED:
            return SEC_E_UNKNOWN_CREDENTIALS;
        case GSS_S_DEFECTIVE_TOKEN:
        case GSS_S_BAD_SIG:
        case GSS_S_BAD_BINDINGS:
            return SEC_E_INVALID_TOKEN;
        case GSS_S_BAD_NAME:
        case GSS_S_BAD_NAMETYPE:
            return SEC_E_TARGET_UNKNOWN;
        case GSS_S_NO_CONTEXT:
            return SEC_E_INVALID_HANDLE;
        case GSS_S_CONTEXT_EXPIRED:
            return SEC_E_CONTEXT_EXPIRED;
        default:
            break;
    }
    if (minor == ENOMEM)
        return SEC_E_INSUFFICIENT_MEMORY;
    // The mechanism reports a user file that is missing, empty or without a
    // usable entry as a general failure of the acquisition: for the caller
    // that is simply the absence of credentials.
    if (step == Step::Acquire)
        return SEC_E_NO_CREDENTIALS;
    return SEC_E_INTERNAL_ERROR;
}

std::string Variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// What the default credentials are made of: the user file as it is now and
// the variables that choose the user. Empty when there is no user file to pin
// them to (the mechanism may then ask winbind), and nothing is shared.
std::string CredentialKey() {
    std::string file = Variable("NTLM_USER_FILE");
    struct stat st {};
    if (file.empty() || stat(file.c_str(), &st) != 0)
        return {};
    return file + '\n' + std::to_string(st.st_dev) + ':' + std::to_string(st.st_ino) + ':' +
           std::to_string(st.st_size) + ':' + std::to_string(st.st_mtim.tv_sec) + '.' +
           std::to_string(st.st_mtim.tv_nsec) + '\n' + Variable("NTLMUSER") + '\n' +
           Variable("USER");
}

SECURITY_STATUS AcquireFromMechanism(std::shared_ptr<GssCredential>& gss) {
    gss = std::make_shared<GssCredential>();
    gss_OID_set_desc mechs = {1, &g_ntlmsspOid};
    OM_uint32 minor = 0;
    OM_uint32 major = gss_acquire_cred(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &mechs,
                                       GSS_C_INITIATE, &gss->cred, nullptr, nullptr);
    if (GSS_ERROR(major)) {
        gss.reset();
        ReportGssFailure("gss_acquire_cred", major, minor);
        return MapGssFailure(Step::Acquire, major, minor);
    }
    return SEC_E_OK;
}

SECURITY_STATUS Acquire(ULONG credentialUse, void* authData, void** credential) {
    // Only the outbound side of the logged-on user: the library never accepts
    // contexts and never hands over explicit credentials.
    if ((credentialUse & SECPKG_CRED_OUTBOUND) == 0 || (credentialUse & SECPKG_CRED_INBOUND) != 0 ||
        authData != nullptr)
        return SEC_E_UNSUPPORTED_FUNCTION;

    auto object = std::unique_ptr<NtlmCredential>(new (std::nothrow) NtlmCredential);
    if (object == nullptr)
        return SEC_E_INSUFFICIENT_MEMORY;
    try {
        CredentialCache& cache = Cache();
        std::lock_guard<std::mutex> lock(cache.mutex);
        std::string key = CredentialKey();
        if (!key.empty() && key == cache.key) {
            object->gss = cache.gss;
        } else {
            SECURITY_STATUS status = AcquireFromMechanism(object->gss);
            if (status != SEC_E_OK)
                return status;
            // Kept only when the file did not change while it was read.
            if (!key.empty() && key == CredentialKey()) {
                cache.key = key;
                cache.gss = object->gss;
            }
        }
    } catch (const std::bad_alloc&) {
        return SEC_E_INSUFFICIENT_MEMORY;
    }
    *credential = object.release();
    return SEC_E_OK;
}

void FreeCredentials(void* credential) {
    delete static_cast<NtlmCredential*>(credential);
}

void DestroyContext(NtlmContext* object) {
    if (object == nullptr)
        return;
    OM_uint32 minor = 0;
    if (object->ctx != GSS_C_NO_CONTEXT)
        gss_delete_sec_context(&minor, &object->ctx, GSS_C_NO_BUFFER);
    if (object->target != GSS_C_NO_NAME)
        gss_release_name(&minor, &object->target);
    delete object;
}

// A service principal name "service/host" names the GSSAPI host-based service
// "service@host"; without a target the context is for this machine's host
// service, which NTLM does not check.
SECURITY_STATUS ImportTarget(const char16_t* targetName, gss_name_t* target) {
    std::string name = kDefaultTarget;
    if (targetName != nullptr && *targetName != u'\0') {
        name = Utf16ToUtf8(targetName);
        size_t slash = name.find('/');
        if (slash != std::string::npos) {
            name[slash] = '@';
            // A port or service name after the host ("smtp/host:25") is no part of it.
            size_t extra = name.find_first_of(":/", slash + 1);
            if (extra != std::string::npos)
                name.erase(extra);
        }
    }
    gss_buffer_desc buffer = {name.size(), name.data()};
    OM_uint32 minor = 0;
    OM_uint32 major = gss_import_name(&minor, &buffer, GSS_C_NT_HOSTBASED_SERVICE, target);
    if (GSS_ERROR(major)) {
        ReportGssFailure("gss_import_name", major, minor);
        return MapGssFailure(Step::Initialize, major, minor);
    }
    return SEC_E_OK;
}

SecBuffer* FindToken(SecBufferDesc* desc) {
    if (desc == nullptr || desc->pBuffers == nullptr)
        return nullptr;
    for (ULONG i = 0; i < desc->cBuffers; ++i) {
        if ((desc->pBuffers[i].BufferType & 0x0FFFFFFF) == SECBUFFER_TOKEN)
            return &desc->pBuffers[i];
    }
    return nullptr;
}

OM_uint32 GssRequestFlags(ULONG contextReq) {
    OM_uint32 flags = 0;
    if (contextReq & ISC_REQ_MUTUAL_AUTH)
        flags |= GSS_C_MUTUAL_FLAG;
    if (contextReq & ISC_REQ_REPLAY_DETECT)
        flags |= GSS_C_REPLAY_FLAG;
    if (contextReq & ISC_REQ_SEQUENCE_DETECT)
        flags |= GSS_C_SEQUENCE_FLAG;
    if (contextReq & ISC_REQ_CONFIDENTIALITY)
        flags |= GSS_C_CONF_FLAG | GSS_C_INTEG_FLAG;
    return flags;
}

ULONG ContextAttributes(OM_uint32 retFlags) {
    ULONG attr = 0;
    if (retFlags & GSS_C_MUTUAL_FLAG)
        attr |= ISC_REQ_MUTUAL_AUTH;
    if (retFlags & GSS_C_REPLAY_FLAG)
        attr |= ISC_REQ_REPLAY_DETECT;
    if (retFlags & GSS_C_SEQUENCE_FLAG)
        attr |= ISC_REQ_SEQUENCE_DETECT;
    if (retFlags & GSS_C_CONF_FLAG)
        attr |= ISC_REQ_CONFIDENTIALITY;
    return attr;
}

// Puts the mechanism's token into the caller's output buffer: into memory of
// the package's allocator when the caller asked for it, otherwise into the
// caller's own buffer, whose size cbBuffer gives.
SECURITY_STATUS DeliverToken(const gss_buffer_desc& token, ULONG contextReq, SecBuffer* out,
                             ULONG* contextAttr) {
    if (contextReq & ISC_REQ_ALLOCATE_MEMORY) {
        out->pvBuffer = nullptr;
        out->cbBuffer = 0;
        if (token.length == 0)
            return SEC_E_OK;
        void* memory = SspiAllocate(token.length);
        if (memory == nullptr)
            return SEC_E_INSUFFICIENT_MEMORY;
        std::memcpy(memory, token.value, token.length);
        out->pvBuffer = memory;
        out->cbBuffer = static_cast<ULONG>(token.length);
        *contextAttr |= ISC_REQ_ALLOCATE_MEMORY;
        return SEC_E_OK;
    }
    if (token.length > out->cbBuffer || (token.length != 0 && out->pvBuffer == nullptr))
        return SEC_E_INSUFFICIENT_MEMORY;
    if (token.length != 0)
        std::memcpy(out->pvBuffer, token.value, token.length);
    out->cbBuffer = static_cast<ULONG>(token.length);
    return SEC_E_OK;
}

SECURITY_STATUS Initialize(void* credential, void* context, const char16_t* targetName,
                           ULONG contextReq, SecBufferDesc* input, void** newContext,
                           SecBufferDesc* output, ULONG* contextAttr) {
    // Delegation and prompting for credentials do not exist for NTLM.
    if (contextReq & (ISC_REQ_DELEGATE | ISC_REQ_PROMPT_FOR_CREDS))
        return SEC_E_UNSUPPORTED_FUNCTION;

    auto* cred = static_cast<NtlmCredential*>(credential);
    auto* existing = static_cast<NtlmContext*>(context);
    if (existing == nullptr && cred == nullptr)
        return SEC_E_INVALID_HANDLE;
    if (existing != nullptr && existing->complete)
        return SEC_E_INVALID_HANDLE;

    SecBuffer* out = FindToken(output);
    if (out == nullptr)
        return SEC_E_INVALID_TOKEN;

    // Every call after the first continues the exchange with the server's token.
    gss_buffer_desc inputToken = GSS_C_EMPTY_BUFFER;
    if (existing != nullptr) {
        SecBuffer* in = FindToken(input);
        if (in == nullptr || in->pvBuffer == nullptr || in->cbBuffer == 0)
            return SEC_E_INVALID_TOKEN;
        inputToken.value = in->pvBuffer;
        inputToken.length = in->cbBuffer;
    }

    NtlmContext* object = existing;
    if (object == nullptr) {
        object = new (std::nothrow) NtlmContext;
        if (object == nullptr)
            return SEC_E_INSUFFICIENT_MEMORY;
        SECURITY_STATUS status = ImportTarget(targetName, &object->target);
        if (status != SEC_E_OK) {
            DestroyContext(object);
            return status;
        }
    }

    OM_uint32 minor = 0;
    OM_uint32 retFlags = 0;
    gss_buffer_desc outputToken = GSS_C_EMPTY_BUFFER;
    OM_uint32 major = gss_init_sec_context(
        &minor, cred != nullptr ? cred->gss->cred : GSS_C_NO_CREDENTIAL, &object->ctx,
        object->target, &g_ntlmsspOid, GssRequestFlags(contextReq), GSS_C_INDEFINITE,
        GSS_C_NO_CHANNEL_BINDINGS, existing != nullptr ? &inputToken : GSS_C_NO_BUFFER, nullptr,
        &outputToken, &retFlags, nullptr);

    if (GSS_ERROR(major)) {
        ReportGssFailure("gss_init_sec_context", major, minor);
        OM_uint32 ignored = 0;
        gss_release_buffer(&ignored, &outputToken);
        // A first step that fails leaves no context behind; a later one leaves
        // it to the caller, who deletes it.
        if (existing == nullptr)
            DestroyContext(object);
        out->cbBuffer = 0;
        if (contextReq & ISC_REQ_ALLOCATE_MEMORY)
            out->pvBuffer = nullptr;
        return MapGssFailure(Step::Initialize, major, minor);
    }

    ULONG attr = ContextAttributes(retFlags);
    SECURITY_STATUS status = DeliverToken(outputToken, contextReq, out, &attr);
    OM_uint32 ignored = 0;
    gss_release_buffer(&ignored, &outputToken);
    if (status != SEC_E_OK) {
        if (existing == nullptr)
            DestroyContext(object);
        return status;
    }

    *contextAttr = attr;
    *newContext = object;
    if (major & GSS_S_CONTINUE_NEEDED)
        return SEC_I_CONTINUE_NEEDED;
    object->complete = true;
    return SEC_E_OK;
}

// NTLM tokens are final as the mechanism hands them out.
SECURITY_STATUS Complete(void* context, SecBufferDesc*) {
    return context != nullptr ? SEC_E_OK : SEC_E_INVALID_HANDLE;
}

void DeleteContext(void* context) {
    DestroyContext(static_cast<NtlmContext*>(context));
}

// Message protection and context queries are not needed for authentication.
SECURITY_STATUS Control(void*, SecBufferDesc*) {
    return SEC_E_UNSUPPORTED_FUNCTION;
}
SECURITY_STATUS Query(void*, ULONG, void*) {
    return SEC_E_UNSUPPORTED_FUNCTION;
}
SECURITY_STATUS Encrypt(void*, SecBufferDesc*) {
    return SEC_E_UNSUPPORTED_FUNCTION;
}
SECURITY_STATUS Decrypt(void*, SecBufferDesc*) {
    return SEC_E_UNSUPPORTED_FUNCTION;
}

}  // namespace

const SspiPackage& NtlmPackage() {
    static const SspiPackage package{NTLMSP_NAME_W, Acquire, FreeCredentials, Initialize, Complete,
                                     DeleteContext, Control, Query,           Encrypt,    Decrypt};
    return package;
}

}  // namespace platform
