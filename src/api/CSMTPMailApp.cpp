#include "api/CSMTPMailApp.h"

#include "api/CMailApp.h"
#include "diag/DiagPrint.h"
#include "diag/FunctionTrace.h"

CSMTPMailApp theApp;

CSMTPMailApp::~CSMTPMailApp() {
    Uninitialize();
}

bool CSMTPMailApp::Initialize(HMODULE hInstance) {
    DiagPrint(u"CSMTPMailApp::Initialize(0x%lX)\n",
              static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(hInstance)));
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
    bool bWasCounted = m_nUseCount > 0;
    ++m_nUseCount;
    if (bWasCounted)
        DiagPrint(u"CSMTPMailApp::InitializeSMTP()\n <== return true; (use-count %u)", m_nUseCount);
    return true;
}

void CSMTPMailApp::UninitializeSMTP() {
    DiagPrint(u"CSMTPMailApp::UninitializeSMTP() ==> (use-count=%u)\n", m_nUseCount);
    if (m_nUseCount != 0) {
        --m_nUseCount;
        DiagPrint(u"CSMTPMailApp::UninitializeSMTP() <== (use-count=%u)\n", m_nUseCount);
    }
}

void CSMTPMailApp::Uninitialize() {
    TFunctionTrace trace(u"CSMTPMailApp::Uninitialize");
    if (m_pApp != nullptr) {
        delete m_pApp;
        m_pApp = nullptr;
    }
}
