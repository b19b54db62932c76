// The provider loaded as the host loads it, its exports looked up by name.
#pragma once

#include <string>

#include "mailapi.h"

#define SMTPMAIL_EXPORTS(X)                                                      \
    X(Initialize, HMAILPROVIDER, MAILINIFLAGS*)                                  \
    X(Uninitialize, void, HMAILPROVIDER)                                         \
    X(Send, MAILRESULT, HMAILPROVIDER, const MAILMESSAGE*, const MAILSENDFLAGS*) \
    X(Deliver, MAILRESULT, HMAILPROVIDER, uint32_t)                              \
    X(Execute, MAILRESULT, HMAILPROVIDER, uint32_t, void*)                       \
    X(GetLastError, MAILERROR*, HMAILPROVIDER)                                   \
    X(GetProperty, MAILRESULT, HMAILPROVIDER, const MAILWCHAR*, void*, uint32_t) \
    X(SetProperty, MAILRESULT, HMAILPROVIDER, const MAILWCHAR*, const void*)     \
    X(ResolveAddress, MAILRESULT, HMAILPROVIDER, const MAILWCHAR*, MAILADDRESS*, \
      const MAILRESOLVEADDRESSFLAGS*)                                            \
    X(FreeBuffer, MAILRESULT, HMAILPROVIDER, void*)                              \
    X(FindFirst, HMAILITEM, HMAILPROVIDER, void*)                                \
    X(FindNext, MAILRESULT, HMAILITEM)                                           \
    X(FindClose, void, HMAILITEM)                                                \
    X(Receive, MAILRESULT, HMAILITEM, void*, void*, void*)                       \
    X(AttachmentSave, MAILRESULT, HMAILITEM, void*, void*)                       \
    X(Delete, MAILRESULT, HMAILITEM)

struct ProviderLibrary {
    // The one instance of the test program; it stays loaded, as in the host.
    static ProviderLibrary& Get();
    // A reference of its own, for a test that unloads the library (handle).
    static ProviderLibrary Load();
    bool Loaded() const { return error.empty(); }

    void* handle = nullptr;
    std::string error;  // why it did not load, or a missing export
#define SMTPMAIL_EXPORT_POINTER(name, result, ...) result(MAILCALL* name)(__VA_ARGS__) = nullptr;
    SMTPMAIL_EXPORTS(SMTPMAIL_EXPORT_POINTER)
#undef SMTPMAIL_EXPORT_POINTER
};
