// Entry point of the provider DLL. Loading does no real work: per-thread
// notifications are switched off (the library starts no thread and keeps no
// per-thread state that needs them), and the value-name tables of the
// settings are constant data that the loader maps in with the image.
// DllMain never logs, takes a lock or closes a socket: it runs under the
// loader lock, and at process termination other threads are gone, perhaps
// holding the very locks it would take. The shared CMailApp goes with theApp's
// destructor when the host frees the library; when the process ends, the
// system takes everything back and nothing is done.
#include "api/CSMTPMailApp.h"
#include "api/SettingNames.h"
#include "platform/WinTypes.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID pReserved) {
    switch (dwReason) {
        case DLL_PROCESS_ATTACH:
            ::DisableThreadLibraryCalls(hInstance);
            // Filled at compile time: nothing to build, only to be present.
            static_assert(sizeof(g_AuthMethodNames) / sizeof(g_AuthMethodNames[0]) == 6);
            break;
        case DLL_PROCESS_DETACH:
            if (pReserved != nullptr)
                theApp.m_bProcessEnding = true;
            break;
        default:
            break;
    }
    return TRUE;
}
