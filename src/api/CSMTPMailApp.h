// The process-wide application object of the provider: owns the shared
// CMailApp and counts the initialised providers. Handles are initialised and
// released from any thread: the object changes only under its lock.
#pragma once

#include <mutex>

#include "platform/WinTypes.h"

class CMailApp;

class CSMTPMailApp {
public:
    CSMTPMailApp() = default;
    ~CSMTPMailApp();
    CSMTPMailApp(const CSMTPMailApp&) = delete;
    CSMTPMailApp& operator=(const CSMTPMailApp&) = delete;

    bool Initialize(HMODULE hInstance);
    bool InitializeSMTP();
    // The last provider's release also closes the network log.
    void UninitializeSMTP();
    void Uninitialize();

    bool m_bAppInitialized = false;
    DWORD m_nUseCount = 0;
    HMODULE m_hInstance = nullptr;
    CMailApp* m_pApp = nullptr;
    // Set when the process ends (DllMain): the unload then leaves everything
    // to the system, since another thread may have died holding a lock.
    bool m_bProcessEnding = false;

private:
    std::mutex m_Lock;
};

extern CSMTPMailApp theApp;
