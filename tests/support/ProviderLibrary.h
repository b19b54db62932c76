// The provider loaded the way the host loads it: the shared library from the
// build's bin folder, its sixteen exports looked up by name.
#pragma once

#include <string>

#include "mailapi.h"

struct ProviderLibrary {
    using InitializeFn = HMAILPROVIDER(MAILCALL*)(MAILINIFLAGS*);
    using UninitializeFn = void(MAILCALL*)(HMAILPROVIDER);
    using SendFn = MAILRESULT(MAILCALL*)(HMAILPROVIDER, const MAILMESSAGE*, const MAILSENDFLAGS*);
    using DeliverFn = MAILRESULT(MAILCALL*)(HMAILPROVIDER, uint32_t);
    using ExecuteFn = MAILRESULT(MAILCALL*)(HMAILPROVIDER, uint32_t, void*);
    using GetLastErrorFn = MAILERROR*(MAILCALL*)(HMAILPROVIDER);
    using GetPropertyFn = MAILRESULT(MAILCALL*)(HMAILPROVIDER, const MAILWCHAR*, void*, uint32_t);
    using SetPropertyFn = MAILRESULT(MAILCALL*)(HMAILPROVIDER, const MAILWCHAR*, const void*);
    using ResolveAddressFn = MAILRESULT(MAILCALL*)(HMAILPROVIDER, const MAILWCHAR*, MAILADDRESS*,
                                                   const MAILRESOLVEADDRESSFLAGS*);
    using FreeBufferFn = MAILRESULT(MAILCALL*)(HMAILPROVIDER, void*);
    using FindFirstFn = HMAILITEM(MAILCALL*)(HMAILPROVIDER, void*);
    using FindNextFn = MAILRESULT(MAILCALL*)(HMAILITEM);
    using FindCloseFn = void(MAILCALL*)(HMAILITEM);
    using ReceiveFn = MAILRESULT(MAILCALL*)(HMAILITEM, void*, void*, void*);
    using AttachmentSaveFn = MAILRESULT(MAILCALL*)(HMAILITEM, void*, void*);
    using DeleteFn = MAILRESULT(MAILCALL*)(HMAILITEM);

    // Loads libsmtpmail.so from the build's bin folder; on failure every
    // pointer stays null and error says why.
    ProviderLibrary();
    ~ProviderLibrary();
    ProviderLibrary(const ProviderLibrary&) = delete;
    ProviderLibrary& operator=(const ProviderLibrary&) = delete;

    bool Loaded() const { return Initialize != nullptr; }

    void* handle = nullptr;
    std::string error;
    InitializeFn Initialize = nullptr;
    UninitializeFn Uninitialize = nullptr;
    SendFn Send = nullptr;
    DeliverFn Deliver = nullptr;
    ExecuteFn Execute = nullptr;
    GetLastErrorFn GetLastError = nullptr;
    GetPropertyFn GetProperty = nullptr;
    SetPropertyFn SetProperty = nullptr;
    ResolveAddressFn ResolveAddress = nullptr;
    FreeBufferFn FreeBuffer = nullptr;
    FindFirstFn FindFirst = nullptr;
    FindNextFn FindNext = nullptr;
    FindCloseFn FindClose = nullptr;
    ReceiveFn Receive = nullptr;
    AttachmentSaveFn AttachmentSave = nullptr;
    DeleteFn Delete = nullptr;
};
