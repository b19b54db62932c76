// Name resolution within a time limit: GetAddrInfoW on a thread of its own,
// waited for as long as the caller may wait. A lookup that runs out of time
// is left to end on its thread, which then frees it. The thread holds a
// reference to this module and ends with FreeLibraryAndExitThread, so that
// the host may unload the library while a lookup is still under way.
//
// Asynchronous GetAddrInfoExW could be cancelled instead, but a cancel may
// leave the system's provider running all the same, and its completion
// would then write into memory that must outlive the call just the same.
#include <ws2tcpip.h>

#include <string>
#include <vector>

#include "platform/Sockets.h"
#include "platform/win32/SocketAddress_win32.h"
#include "platform/win32/WideText_win32.h"

namespace platform {

namespace {

// Shared by the caller and the thread; the last to let go frees it.
struct Lookup {
    LONG nRefs = 2;
    HANDLE hDone = nullptr;
    HMODULE hModule = nullptr;
    std::wstring host;
    int nError = 0;
    ADDRINFOW* pResult = nullptr;
};

void Release(Lookup* lookup) {
    if (::InterlockedDecrement(&lookup->nRefs) != 0)
        return;
    if (lookup->pResult != nullptr)
        ::FreeAddrInfoW(lookup->pResult);
    ::CloseHandle(lookup->hDone);
    delete lookup;
}

int Resolve(Lookup& lookup) {
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    return ::GetAddrInfoW(lookup.host.c_str(), nullptr, &hints, &lookup.pResult);
}

DWORD WINAPI LookupThread(void* parameter) {
    auto* lookup = static_cast<Lookup*>(parameter);
    lookup->nError = Resolve(*lookup);
    ::SetEvent(lookup->hDone);
    const HMODULE hModule = lookup->hModule;
    Release(lookup);
    ::FreeLibraryAndExitThread(hModule, 0);
}

// Starts the lookup's thread; false when there can be none.
bool StartThread(Lookup* lookup) {
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCWSTR>(&LookupThread), &lookup->hModule))
        return false;
    HANDLE hThread = ::CreateThread(nullptr, 64 * 1024, LookupThread, lookup,
                                    STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (hThread == nullptr) {
        ::FreeLibrary(lookup->hModule);
        return false;
    }
    ::CloseHandle(hThread);
    return true;
}

int Failed(int nError) {
    SetSocketError(static_cast<DWORD>(nError));
    return nError;
}

}  // namespace

int ResolveHost(const char16_t* host, std::uint16_t port, DWORD timeoutMs,
                std::vector<SocketAddress>& addresses) {
    addresses.clear();
    if (host == nullptr)
        return Failed(WSAEFAULT);
    if (int rc = WSAStartup(MAKEWORD(2, 2)); rc != 0)
        return rc;
    auto* lookup = new Lookup();
    lookup->host = SysText(host);
    lookup->hDone = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (lookup->hDone == nullptr || !StartThread(lookup)) {
        // No thread to be had: the lookup runs here, with the system's own limits.
        lookup->nRefs = 1;
        lookup->nError = Resolve(*lookup);
    } else if (::WaitForSingleObject(lookup->hDone, timeoutMs) != WAIT_OBJECT_0) {
        Release(lookup);
        return Failed(WSAETIMEDOUT);
    }
    const int nError = lookup->nError;
    for (const ADDRINFOW* a = lookup->pResult; nError == 0 && a != nullptr; a = a->ai_next) {
        SocketAddress address;
        if (FromNative(a->ai_addr, address)) {
            address.nPort = port;
            addresses.push_back(address);
        }
    }
    Release(lookup);
    if (nError != 0)
        return Failed(nError);
    if (addresses.empty())
        return Failed(WSAHOST_NOT_FOUND);
    return 0;
}

}  // namespace platform
