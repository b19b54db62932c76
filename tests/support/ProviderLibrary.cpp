#include "ProviderLibrary.h"

#include <dlfcn.h>

ProviderLibrary& ProviderLibrary::Get() {
    static ProviderLibrary library = [] {
        ProviderLibrary l;
        void* handle =
            dlopen((std::string(SMTPMAIL_BIN_DIR) + "/libsmtpmail.so").c_str(), RTLD_NOW);
        if (handle == nullptr) {
            l.error = dlerror();
            return l;
        }
#define SMTPMAIL_RESOLVE(name, ...)                                            \
    l.name = reinterpret_cast<decltype(l.name)>(dlsym(handle, "Mail_" #name)); \
    if (l.name == nullptr)                                                     \
        l.error += "missing export Mail_" #name "; ";
        SMTPMAIL_EXPORTS(SMTPMAIL_RESOLVE)
#undef SMTPMAIL_RESOLVE
        return l;
    }();
    return library;
}
