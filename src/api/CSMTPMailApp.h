// The process-wide application object of the provider: owns the shared
// CMailApp and counts the initialised providers.
#pragma once

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
    void UninitializeSMTP();
    void Uninitialize();

    bool m_bAppInitialized = false;
    DWORD m_nUseCount = 0;
    HMODULE m_hInstance = nullptr;
    CMailApp* m_pApp = nullptr;
};

extern CSMTPMailApp theApp;
