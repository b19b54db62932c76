// The SSPI dispatcher: finds a package by name, and routes each call made on a
// handle to the package that issued it.
#include <cstdlib>
#include <string>

#include "platform/SspiPackage.h"

namespace platform {

namespace {

const SspiPackage* FindPackage(const char16_t* name) {
    if (name == nullptr) return nullptr;
    std::u16string wanted(name);
    for (const SspiPackage* p : {&SchannelPackage(), &NtlmPackage()}) {
        if (wanted == p->name) return p;
    }
    return nullptr;
}

const SspiPackage* PackageOf(const SecHandle* h) {
    if (h == nullptr || h->dwUpper == 0) return nullptr;
    return reinterpret_cast<const SspiPackage*>(h->dwUpper);
}

void* ObjectOf(const SecHandle* h) { return reinterpret_cast<void*>(h->dwLower); }

}  // namespace

void* SspiAllocate(size_t size) { return std::malloc(size == 0 ? 1 : size); }

SECURITY_STATUS AcquireCredentialsHandleW(const char16_t* /*principal*/, const char16_t* package,
                                          ULONG credentialUse, void* /*logonId*/, void* authData,
                                          SEC_GET_KEY_FN /*getKeyFn*/, void* /*getKeyArgument*/,
                                          PCredHandle credential, TimeStamp* expiry) {
    if (credential == nullptr) return SEC_E_INVALID_HANDLE;
    const SspiPackage* p = FindPackage(package);
    if (p == nullptr) return SEC_E_SECPKG_NOT_FOUND;
    void* object = nullptr;
    SECURITY_STATUS status = p->AcquireCredentials(credentialUse, authData, &object);
    if (status != SEC_E_OK) return status;
    credential->dwLower = reinterpret_cast<ULONG_PTR>(object);
    credential->dwUpper = reinterpret_cast<ULONG_PTR>(p);
    if (expiry != nullptr) *expiry = TimeStamp{0xFFFFFFFFu, 0x7FFFFFFF};
    return SEC_E_OK;
}

SECURITY_STATUS FreeCredentialsHandle(PCredHandle credential) {
    const SspiPackage* p = PackageOf(credential);
    if (p == nullptr) return SEC_E_INVALID_HANDLE;
    p->FreeCredentials(ObjectOf(credential));
    credential->dwLower = credential->dwUpper = 0;
    return SEC_E_OK;
}

SECURITY_STATUS InitializeSecurityContextW(PCredHandle credential, PCtxtHandle context, const char16_t* targetName,
                                           ULONG contextReq, ULONG /*reserved1*/, ULONG /*targetDataRep*/,
                                           SecBufferDesc* input, ULONG /*reserved2*/, PCtxtHandle newContext,
                                           SecBufferDesc* output, ULONG* contextAttr, TimeStamp* expiry) {
    // A later call may pass the context without the credential (as the
    // shutdown step does); the context then names the package.
    const SspiPackage* p = context != nullptr ? PackageOf(context) : PackageOf(credential);
    if (p == nullptr) return SEC_E_INVALID_HANDLE;
    if (credential != nullptr && PackageOf(credential) != nullptr && PackageOf(credential) != p)
        return SEC_E_INVALID_HANDLE;
    void* existing = context != nullptr ? ObjectOf(context) : nullptr;
    void* created = existing;
    ULONG attr = 0;
    SECURITY_STATUS status = p->InitializeContext(credential != nullptr ? ObjectOf(credential) : nullptr, existing,
                                                  targetName, contextReq, input, &created, output, &attr);
    if (contextAttr != nullptr) *contextAttr = attr;
    if (expiry != nullptr) *expiry = TimeStamp{0xFFFFFFFFu, 0x7FFFFFFF};
    if (newContext != nullptr && created != nullptr) {
        newContext->dwLower = reinterpret_cast<ULONG_PTR>(created);
        newContext->dwUpper = reinterpret_cast<ULONG_PTR>(p);
    }
    return status;
}

SECURITY_STATUS CompleteAuthToken(PCtxtHandle context, SecBufferDesc* token) {
    const SspiPackage* p = PackageOf(context);
    if (p == nullptr) return SEC_E_INVALID_HANDLE;
    return p->CompleteAuthToken(ObjectOf(context), token);
}

SECURITY_STATUS DeleteSecurityContext(PCtxtHandle context) {
    const SspiPackage* p = PackageOf(context);
    if (p == nullptr) return SEC_E_INVALID_HANDLE;
    p->DeleteContext(ObjectOf(context));
    context->dwLower = context->dwUpper = 0;
    return SEC_E_OK;
}

SECURITY_STATUS ApplyControlToken(PCtxtHandle context, SecBufferDesc* input) {
    const SspiPackage* p = PackageOf(context);
    if (p == nullptr) return SEC_E_INVALID_HANDLE;
    return p->ApplyControlToken(ObjectOf(context), input);
}

SECURITY_STATUS QueryContextAttributesW(PCtxtHandle context, ULONG attribute, void* buffer) {
    const SspiPackage* p = PackageOf(context);
    if (p == nullptr) return SEC_E_INVALID_HANDLE;
    return p->QueryContextAttributes(ObjectOf(context), attribute, buffer);
}

SECURITY_STATUS FreeContextBuffer(void* buffer) {
    std::free(buffer);
    return SEC_E_OK;
}

SECURITY_STATUS EncryptMessage(PCtxtHandle context, ULONG /*qop*/, SecBufferDesc* message, ULONG /*messageSeqNo*/) {
    const SspiPackage* p = PackageOf(context);
    if (p == nullptr) return SEC_E_INVALID_HANDLE;
    return p->EncryptMessage(ObjectOf(context), message);
}

SECURITY_STATUS DecryptMessage(PCtxtHandle context, SecBufferDesc* message, ULONG /*messageSeqNo*/, ULONG* qop) {
    const SspiPackage* p = PackageOf(context);
    if (p == nullptr) return SEC_E_INVALID_HANDLE;
    if (qop != nullptr) *qop = 0;
    return p->DecryptMessage(ObjectOf(context), message);
}

SecurityFunctionTableW* InitSecurityInterfaceW() {
    static SecurityFunctionTableW table = [] {
        SecurityFunctionTableW t{};
        t.dwVersion = 1;
        t.AcquireCredentialsHandleW = &AcquireCredentialsHandleW;
        t.FreeCredentialsHandle = &FreeCredentialsHandle;
        t.InitializeSecurityContextW = &InitializeSecurityContextW;
        t.CompleteAuthToken = &CompleteAuthToken;
        t.DeleteSecurityContext = &DeleteSecurityContext;
        t.ApplyControlToken = &ApplyControlToken;
        t.QueryContextAttributesW = &QueryContextAttributesW;
        t.FreeContextBuffer = &FreeContextBuffer;
        t.EncryptMessage = &EncryptMessage;
        t.DecryptMessage = &DecryptMessage;
        return t;
    }();
    return &table;
}

}  // namespace platform
