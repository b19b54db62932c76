#include "ProviderLibrary.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

ProviderLibrary& ProviderLibrary::Get() {
    static ProviderLibrary library = Load();
    return library;
}

ProviderLibrary ProviderLibrary::Load() {
    ProviderLibrary l;
#if defined(_WIN32)
    // From the test program's folder, as the host product loads it.
    HMODULE handle = ::LoadLibraryW(L"smtpmail.dll");
    auto symbol = [handle](const char* name) {
        return reinterpret_cast<void*>(::GetProcAddress(handle, name));
    };
    if (handle == nullptr)
        l.error = "LoadLibraryW(smtpmail.dll) failed with " + std::to_string(::GetLastError());
#else
    void* handle = dlopen((std::string(SMTPMAIL_BIN_DIR) + "/libsmtpmail.so").c_str(), RTLD_NOW);
    auto symbol = [handle](const char* name) { return dlsym(handle, name); };
    if (handle == nullptr)
        l.error = dlerror();
#endif
    l.handle = reinterpret_cast<void*>(handle);
    if (handle == nullptr)
        return l;
#define SMTPMAIL_RESOLVE(name, ...)                                     \
    l.name = reinterpret_cast<decltype(l.name)>(symbol("Mail_" #name)); \
    if (l.name == nullptr)                                              \
        l.error += "missing export Mail_" #name "; ";
    SMTPMAIL_EXPORTS(SMTPMAIL_RESOLVE)
#undef SMTPMAIL_RESOLVE
    return l;
}
