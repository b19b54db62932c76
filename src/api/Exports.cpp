// The sixteen exports: each a thin frame around one virtual operation. The
// frame saves and restores the host's current directory, clears the handle's
// last error where the operation asks for it, and never lets an exception
// reach the host. Any export may be called from any thread: calls on one
// handle take turns, each under the handle's own log provider.
#define SMTPMAIL_BUILD
#include "mailapi.h"

#include <mutex>
#include <new>
#include <type_traits>

#include "api/CMailItem.h"
#include "api/CSMTPMailAPI.h"
#include "api/WideText.h"
#include "diag/DiagPrint.h"
#include "diag/HostLog.h"
#include "platform/CurrentDirectory.h"

namespace {

CSMTPMailAPI* Provider(HMAILPROVIDER h) {
    return reinterpret_cast<CSMTPMailAPI*>(h);
}
CMailItem* Item(HMAILITEM h) {
    return reinterpret_cast<CMailItem*>(h);
}

// Saves the current directory on construction and puts it back on destruction.
class CurrentDirectoryGuard {
public:
    CurrentDirectoryGuard() { m_bSaved = platform::GetCurrentDirectoryW(260, m_szDirectory) != 0; }
    ~CurrentDirectoryGuard() {
        if (m_bSaved)
            platform::SetCurrentDirectoryW(m_szDirectory);
    }
    CurrentDirectoryGuard(const CurrentDirectoryGuard&) = delete;
    CurrentDirectoryGuard& operator=(const CurrentDirectoryGuard&) = delete;

private:
    char16_t m_szDirectory[260] = {};
    bool m_bSaved = false;
};

// An exception that reached the frame: it becomes the handle's last error
// (when there is a handle) and a code, never something the host sees.
MAILRESULT ReportException(CMailAPI* pProvider) {
    MAILRESULT nCode = MAILERR_INTERNAL;
    const char16_t* pszText = u"Mail export: unexpected exception.";
    try {
        throw;
    } catch (const std::bad_alloc&) {
        nCode = MAILERR_OUT_OF_MEM;
        pszText = u"Mail export: out of memory.";
    } catch (...) {
    }
    try {
        DiagPrint(u"%s\n", pszText);
        if (pProvider != nullptr)
            pProvider->SetLastError(nCode, pszText, 0);
    } catch (...) {
    }
    return nCode;
}

template <typename Result>
Result FailedResult(MAILRESULT nCode) {
    if constexpr (std::is_pointer_v<Result>)
        return nullptr;
    else
        return nCode;
}

// One call on a provider: the calls of other threads on it wait, and what
// its classes log goes to its host's provider (to none without a provider).
class ProviderCall {
public:
    explicit ProviderCall(CMailAPI* pProvider)
        : m_log(pProvider != nullptr ? pProvider->m_pLogProvider : nullptr) {
        if (pProvider != nullptr)
            m_lock = std::unique_lock<std::recursive_mutex>(pProvider->m_CallLock);
    }

private:
    std::unique_lock<std::recursive_mutex> m_lock;
    THostLogScope m_log;
};

// Runs an operation of a provider: clears its last error first when asked.
template <typename Result, typename Operation>
Result OnProvider(HMAILPROVIDER h, Result nullResult, bool bClear, Operation op) {
    CurrentDirectoryGuard guard;
    if (h == nullptr)
        return nullResult;
    ProviderCall call(Provider(h));
    try {
        if (bClear)
            Provider(h)->ClearLastError();
        return op(Provider(h));
    } catch (...) {
        return FailedResult<Result>(ReportException(Provider(h)));
    }
}

// Runs an operation of an item: clears the last error of its provider first.
template <typename Operation>
MAILRESULT OnItem(HMAILITEM h, Operation op) {
    CurrentDirectoryGuard guard;
    if (h == nullptr)
        return MAILERR_INVALID_PARAMS;
    CMailAPI* pProvider = nullptr;
    try {
        pProvider = Item(h)->Provider();
    } catch (...) {
        return ReportException(nullptr);
    }
    ProviderCall call(pProvider);
    try {
        if (pProvider != nullptr)
            pProvider->ClearLastError();
        return op(Item(h));
    } catch (...) {
        return ReportException(pProvider);
    }
}

}  // namespace

extern "C" {

MAILAPI HMAILPROVIDER MAILCALL Mail_Initialize(MAILINIFLAGS* pFlags) {
    CSMTPMailAPI* pProvider = nullptr;
    // The new handle's provider, once Initialize has taken it; only for this call.
    THostLogScope log(nullptr);
    try {
        pProvider = new (std::nothrow) CSMTPMailAPI();
        if (pProvider == nullptr)
            return nullptr;
        if (!pProvider->Initialize(pFlags)) {
            delete pProvider;
            return nullptr;
        }
        return reinterpret_cast<HMAILPROVIDER>(pProvider);
    } catch (...) {
        DiagPrint(u"Mail_Initialize: unexpected exception.\n");
        delete pProvider;
        return nullptr;
    }
}

MAILAPI void MAILCALL Mail_Uninitialize(HMAILPROVIDER hProvider) {
    if (hProvider == nullptr)
        return;
    try {
        {
            ProviderCall call(Provider(hProvider));
            Provider(hProvider)->ClearLastError();
            Provider(hProvider)->Uninitialize();
        }
        // Nothing the handle's destruction writes reaches the host's provider.
        delete Provider(hProvider);
    } catch (...) {
        DiagPrint(u"Mail_Uninitialize: unexpected exception.\n");
    }
}

MAILAPI MAILRESULT MAILCALL Mail_Send(HMAILPROVIDER hProvider, const MAILMESSAGE* pMessage,
                                      const MAILSENDFLAGS* pSendFlags) {
    return OnProvider(hProvider, MAILRESULT(MAILERR_INVALID_PARAMS), true,
                      [&](CSMTPMailAPI* p) { return p->Send(pMessage, pSendFlags); });
}

MAILAPI MAILRESULT MAILCALL Mail_Deliver(HMAILPROVIDER hProvider, uint32_t dwArgument) {
    return OnProvider(hProvider, MAILRESULT(MAILERR_INVALID_PARAMS), true,
                      [&](CSMTPMailAPI* p) { return p->Deliver(dwArgument); });
}

MAILAPI MAILRESULT MAILCALL Mail_Execute(HMAILPROVIDER hProvider, uint32_t dwCommand, void* pArg) {
    return OnProvider(hProvider, MAILRESULT(MAILERR_INVALID_PARAMS), false,
                      [&](CSMTPMailAPI* p) { return p->Execute(dwCommand, pArg); });
}

MAILAPI MAILERROR* MAILCALL Mail_GetLastError(HMAILPROVIDER hProvider) {
    if (hProvider == nullptr) {
        CurrentDirectoryGuard guard;
        DiagPrint(u"handle may not be NULL\n");
        return nullptr;
    }
    return OnProvider(hProvider, static_cast<MAILERROR*>(nullptr), false,
                      [&](CSMTPMailAPI* p) { return p->GetLastError(); });
}

MAILAPI MAILRESULT MAILCALL Mail_GetProperty(HMAILPROVIDER hProvider,
                                             const MAILWCHAR* pszPropertyName,
                                             void* pszPropertyValue, uint32_t cbPropertyValue) {
    return OnProvider(hProvider, MAILRESULT(MAILERR_INVALID_PARAMS), true, [&](CSMTPMailAPI* p) {
        return p->GetProperty(HostText(pszPropertyName), pszPropertyValue, cbPropertyValue);
    });
}

MAILAPI MAILRESULT MAILCALL Mail_SetProperty(HMAILPROVIDER hProvider,
                                             const MAILWCHAR* pszPropertyName,
                                             const void* pszPropertyValue) {
    return OnProvider(hProvider, MAILRESULT(MAILERR_INVALID_PARAMS), true, [&](CSMTPMailAPI* p) {
        return p->SetProperty(HostText(pszPropertyName), pszPropertyValue);
    });
}

MAILAPI MAILRESULT MAILCALL Mail_ResolveAddress(HMAILPROVIDER hProvider,
                                                const MAILWCHAR* pszAddress,
                                                MAILADDRESS* pResolvedAddress,
                                                const MAILRESOLVEADDRESSFLAGS* pFlags) {
    return OnProvider(hProvider, MAILRESULT(MAILERR_INVALID_PARAMS), true, [&](CSMTPMailAPI* p) {
        return p->ResolveAddress(HostText(pszAddress), pResolvedAddress, pFlags);
    });
}

MAILAPI MAILRESULT MAILCALL Mail_FreeBuffer(HMAILPROVIDER hProvider, void* pBuffer) {
    return OnProvider(hProvider, MAILRESULT(MAILERR_INVALID_PARAMS), true,
                      [&](CSMTPMailAPI* p) { return p->FreeBuffer(pBuffer); });
}

MAILAPI HMAILITEM MAILCALL Mail_FindFirst(HMAILPROVIDER hProvider, void* pArg) {
    if (hProvider == nullptr) {
        CurrentDirectoryGuard guard;
        DiagPrint(u"handle may not be NULL\n");
        return nullptr;
    }
    return OnProvider(hProvider, static_cast<HMAILITEM>(nullptr), true,
                      [&](CSMTPMailAPI* p) { return p->FindFirst(pArg); });
}

MAILAPI MAILRESULT MAILCALL Mail_FindNext(HMAILITEM hItem) {
    return OnItem(hItem, [](CMailItem* item) { return item->FindNext(); });
}

MAILAPI void MAILCALL Mail_FindClose(HMAILITEM hItem) {
    OnItem(hItem, [](CMailItem* item) {
        item->FindClose();
        item->Destroy(1);
        return MAILRESULT(MAILERR_OK);
    });
}

MAILAPI MAILRESULT MAILCALL Mail_Receive(HMAILITEM hItem, void* pArg1, void* pArg2, void* pArg3) {
    return OnItem(hItem, [&](CMailItem* item) { return item->Receive(pArg1, pArg2, pArg3); });
}

MAILAPI MAILRESULT MAILCALL Mail_AttachmentSave(HMAILITEM hItem, void* pArg1, void* pArg2) {
    return OnItem(hItem, [&](CMailItem* item) { return item->AttachmentSave(pArg1, pArg2); });
}

MAILAPI MAILRESULT MAILCALL Mail_Delete(HMAILITEM hItem) {
    return OnItem(hItem, [](CMailItem* item) { return item->Delete(); });
}

}  // extern "C"
