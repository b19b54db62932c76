#include "ProviderLibrary.h"

#include <dlfcn.h>

namespace {

template <typename T>
bool Resolve(void* handle, const char* name, T& fn, std::string& error) {
    fn = reinterpret_cast<T>(dlsym(handle, name));
    if (fn == nullptr)
        error += std::string("missing export ") + name + "; ";
    return fn != nullptr;
}

}  // namespace

ProviderLibrary::ProviderLibrary() {
    std::string path = std::string(SMTPMAIL_BIN_DIR) + "/libsmtpmail.so";
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        error = dlerror();
        return;
    }
    InitializeFn init = nullptr;
    bool ok = Resolve(handle, "Mail_Initialize", init, error);
    ok &= Resolve(handle, "Mail_Uninitialize", Uninitialize, error);
    ok &= Resolve(handle, "Mail_Send", Send, error);
    ok &= Resolve(handle, "Mail_Deliver", Deliver, error);
    ok &= Resolve(handle, "Mail_Execute", Execute, error);
    ok &= Resolve(handle, "Mail_GetLastError", GetLastError, error);
    ok &= Resolve(handle, "Mail_GetProperty", GetProperty, error);
    ok &= Resolve(handle, "Mail_SetProperty", SetProperty, error);
    ok &= Resolve(handle, "Mail_ResolveAddress", ResolveAddress, error);
    ok &= Resolve(handle, "Mail_FreeBuffer", FreeBuffer, error);
    ok &= Resolve(handle, "Mail_FindFirst", FindFirst, error);
    ok &= Resolve(handle, "Mail_FindNext", FindNext, error);
    ok &= Resolve(handle, "Mail_FindClose", FindClose, error);
    ok &= Resolve(handle, "Mail_Receive", Receive, error);
    ok &= Resolve(handle, "Mail_AttachmentSave", AttachmentSave, error);
    ok &= Resolve(handle, "Mail_Delete", Delete, error);
    if (ok)
        Initialize = init;
}

ProviderLibrary::~ProviderLibrary() {
    // The library stays loaded: its process-wide objects may still be used by
    // other tests of the same process, as in the host.
}
