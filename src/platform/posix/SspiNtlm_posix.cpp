// The "NTLM" security package. Until the GSSAPI backend is in place, the
// package refuses to hand out credentials.
#include "platform/SspiPackage.h"

namespace platform {

namespace {

SECURITY_STATUS Acquire(ULONG, void*, void**) { return SEC_E_SECPKG_NOT_FOUND; }
void FreeCredentials(void*) {}
SECURITY_STATUS Initialize(void*, void*, const char16_t*, ULONG, SecBufferDesc*, void**, SecBufferDesc*, ULONG*) {
    return SEC_E_INVALID_HANDLE;
}
SECURITY_STATUS Complete(void*, SecBufferDesc*) { return SEC_E_INVALID_HANDLE; }
void DeleteContext(void*) {}
SECURITY_STATUS Control(void*, SecBufferDesc*) { return SEC_E_UNSUPPORTED_FUNCTION; }
SECURITY_STATUS Query(void*, ULONG, void*) { return SEC_E_UNSUPPORTED_FUNCTION; }
SECURITY_STATUS Encrypt(void*, SecBufferDesc*) { return SEC_E_UNSUPPORTED_FUNCTION; }
SECURITY_STATUS Decrypt(void*, SecBufferDesc*) { return SEC_E_UNSUPPORTED_FUNCTION; }

}  // namespace

const SspiPackage& NtlmPackage() {
    static const SspiPackage package{NTLMSP_NAME_W, Acquire, FreeCredentials, Initialize, Complete,
                                     DeleteContext,  Control, Query,           Encrypt,    Decrypt};
    return package;
}

}  // namespace platform
