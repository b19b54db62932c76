// The provider loaded as the host product loads it on Windows: smtpmail.dll
// from the test program's folder with LoadLibraryW, each export by name.
#include <windows.h>

#include "ProviderLibrary.h"

namespace {

template <typename T>
bool Resolve(HMODULE module, const char* name, T& fn, std::string& error) {
    fn = reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
    if (fn == nullptr)
        error += std::string("missing export ") + name + "; ";
    return fn != nullptr;
}

}  // namespace

ProviderLibrary::ProviderLibrary() {
    HMODULE module = ::LoadLibraryW(L"smtpmail.dll");
    handle = module;
    if (module == nullptr) {
        error = "LoadLibraryW(smtpmail.dll) failed with " + std::to_string(::GetLastError());
        return;
    }
    InitializeFn init = nullptr;
    bool ok = Resolve(module, "Mail_Initialize", init, error);
    ok &= Resolve(module, "Mail_Uninitialize", Uninitialize, error);
    ok &= Resolve(module, "Mail_Send", Send, error);
    ok &= Resolve(module, "Mail_Deliver", Deliver, error);
    ok &= Resolve(module, "Mail_Execute", Execute, error);
    ok &= Resolve(module, "Mail_GetLastError", GetLastError, error);
    ok &= Resolve(module, "Mail_GetProperty", GetProperty, error);
    ok &= Resolve(module, "Mail_SetProperty", SetProperty, error);
    ok &= Resolve(module, "Mail_ResolveAddress", ResolveAddress, error);
    ok &= Resolve(module, "Mail_FreeBuffer", FreeBuffer, error);
    ok &= Resolve(module, "Mail_FindFirst", FindFirst, error);
    ok &= Resolve(module, "Mail_FindNext", FindNext, error);
    ok &= Resolve(module, "Mail_FindClose", FindClose, error);
    ok &= Resolve(module, "Mail_Receive", Receive, error);
    ok &= Resolve(module, "Mail_AttachmentSave", AttachmentSave, error);
    ok &= Resolve(module, "Mail_Delete", Delete, error);
    if (ok)
        Initialize = init;
}

ProviderLibrary::~ProviderLibrary() {
    // The provider stays loaded, as in the host: its process-wide objects
    // live until the process ends.
}
