#include "api/CSMTPMailApp.h"

#include "api/CMailApp.h"
#include "diag/DiagPrint.h"
#include "diag/FunctionTrace.h"
#include "diag/NetworkLog.h"

CSMTPMailApp theApp;

CSMTPMailApp::~CSMTPMailApp() {
    // The library is unloaded: no lock, no log, only the memory, and not
    // even that when the process ends.
    if (!m_bProcessEnding)
        delete m_pApp;
    m_pApp = nullptr;
}

bool CSMTPMailApp::Initialize(HMODULE hInstance) {
    DiagPrint(u"CSMTPMailApp::Initialize(0x%lX)\n",
              static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(hInstance)));
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_bAppInitialized)
        return true;
    if (m_pApp == nullptr)
        m_pApp = new CMailApp();
    m_hInstance = hInstance;
    if (!m_pApp->Initialize(hInstance)) {
        DiagPrint(u"CSMTPMailApp::Initialize() <== return false; (CMailApp::Initialize failed)\n");
        return false;
    }
    m_bAppInitialized = true;
    DiagPrint(u"CSMTPMailApp::Initialize() <== return true;\n");
    return true;
}

bool CSMTPMailApp::InitializeSMTP() {
    TFunctionTrace trace(u"CSMTPMailApp::InitializeSMTP");
    std::lock_guard<std::mutex> lock(m_Lock);
    bool bWasCounted = m_nUseCount > 0;
    ++m_nUseCount;
    if (bWasCounted)
        DiagPrint(u"CSMTPMailApp::InitializeSMTP()\n <== return true; (use-count %u)", m_nUseCount);
    return true;
}

void CSMTPMailApp::UninitializeSMTP() {
    std::lock_guard<std::mutex> lock(m_Lock);
    DiagPrint(u"CSMTPMailApp::UninitializeSMTP() ==> (use-count=%u)\n", m_nUseCount);
    if (m_nUseCount != 0) {
        --m_nUseCount;
        DiagPrint(u"CSMTPMailApp::UninitializeSMTP() <== (use-count=%u)\n", m_nUseCount);
        // Its socket is closed here, by a provider's release on the host's
        // thread, never by the loader at process exit.
        if (m_nUseCount == 0)
            NetworkLogClose();
    }
}

void CSMTPMailApp::Uninitialize() {
    TFunctionTrace trace(u"CSMTPMailApp::Uninitialize");
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_pApp != nullptr) {
        delete m_pApp;
        m_pApp = nullptr;
    }
}
