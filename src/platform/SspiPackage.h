// One security package behind the SSPI dispatcher (Sspi.cpp). Each backend
// file defines one of these; a credential or context handle carries the
// backend's object in dwLower and its package in dwUpper.
#pragma once

#include "platform/Sspi.h"

namespace platform {

struct SspiPackage {
    const char16_t* name;
    SECURITY_STATUS (*AcquireCredentials)(ULONG credentialUse, void* authData, void** credential);
    void (*FreeCredentials)(void* credential);
    // context is null on the first call; the backend stores its new context in *newContext.
    SECURITY_STATUS (*InitializeContext)(void* credential, void* context, const char16_t* targetName,
                                         ULONG contextReq, SecBufferDesc* input, void** newContext,
                                         SecBufferDesc* output, ULONG* contextAttr);
    SECURITY_STATUS (*CompleteAuthToken)(void* context, SecBufferDesc* token);
    void (*DeleteContext)(void* context);
    SECURITY_STATUS (*ApplyControlToken)(void* context, SecBufferDesc* input);
    SECURITY_STATUS (*QueryContextAttributes)(void* context, ULONG attribute, void* buffer);
    SECURITY_STATUS (*EncryptMessage)(void* context, SecBufferDesc* message);
    SECURITY_STATUS (*DecryptMessage)(void* context, SecBufferDesc* message);
};

// Output tokens the packages allocate for ISC_REQ_ALLOCATE_MEMORY come from
// this allocator; FreeContextBuffer releases them.
void* SspiAllocate(size_t size);

// The two packages, defined by their backend files.
const SspiPackage& SchannelPackage();
const SspiPackage& NtlmPackage();

}  // namespace platform
