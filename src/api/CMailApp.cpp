#include "api/CMailApp.h"

#include "diag/DiagPrint.h"
#include "platform/ModuleStrings.h"

namespace {

CMailApp* g_pCurrentApp = nullptr;

struct ErrorResource {
    MAILRESULT nCode;
    UINT uResource;
};

// Display texts of the codes in the host module's string table; ends with (0, 0).
const ErrorResource kErrorResources[] = {
    {0, 800},   {1, 801},   {100, 802}, {200, 803}, {201, 804}, {202, 805},  {300, 806}, {301, 807},
    {302, 808}, {400, 809}, {500, 810}, {501, 811}, {502, 812}, {503, 813},  {504, 814}, {505, 815},
    {506, 816}, {507, 817}, {508, 818}, {509, 819}, {510, 820}, {1000, 821}, {0, 0},
};

}  // namespace

CMailApp::CMailApp() : m_hInstance(nullptr) {
    g_pCurrentApp = this;
}

CMailApp::~CMailApp() {
    if (g_pCurrentApp == this)
        g_pCurrentApp = nullptr;
}

CMailApp* CMailApp::Current() {
    return g_pCurrentApp;
}

bool CMailApp::Initialize(HMODULE hInstance) {
    DiagPrint(u"CMailApp::Initialize(0x%lX) ==>\n",
              static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(hInstance)));
    m_hInstance = hInstance;
    DiagPrint(u"CMailApp::Initialize() <== return true;\n");
    return true;
}

void CMailApp::Uninitialize() {
    DiagPrint(u"CMailApp::Uninitialize() ==>\n");
    m_hInstance = nullptr;
    DiagPrint(u"CMailApp::Uninitialize() <==\n");
}

std::u16string CMailApp::LookupErrorText(HMODULE hModule, MAILRESULT nCode) {
    std::u16string text;
    // The first entry (0, 800) must not end the walk: the end is (0, 0).
    for (const ErrorResource* e = kErrorResources; !(e->nCode == 0 && e->uResource == 0); ++e) {
        if (e->nCode != nCode)
            continue;
        char16_t buffer[256];
        int n = platform::LoadStringW(hModule, e->uResource, buffer, 256);
        text = n > 0 ? std::u16string(buffer, static_cast<size_t>(n)) : std::u16string();
    }
    return text;
}
