#include "diag/HostLog.h"

#include "diag/DiagPrint.h"
#include "mailapi.h"

namespace {
// The provider of the latest initialisation; replaced by each one, never cleared.
ILogProvider* g_pLogProvider = nullptr;

const MAILWCHAR* Host(const char16_t* s) {
    return reinterpret_cast<const MAILWCHAR*>(s);
}
}  // namespace

void SetHostLogProvider(ILogProvider* provider) {
    g_pLogProvider = provider;
}

ILogProvider* GetHostLogProvider() {
    return g_pLogProvider;
}

void HostLogMessage(int level, const char16_t* text) {
    if (g_pLogProvider == nullptr)
        return;
    g_pLogProvider->WriteMessage(nullptr, DIAG_LOG_TYPE, level, Host(text));
}

void HostLogWrite(int level, const char16_t* text, const char16_t* function) {
    if (g_pLogProvider == nullptr)
        return;
    g_pLogProvider->WriteLog(nullptr, DIAG_LOG_TYPE, level, Host(text), nullptr, Host(function));
}
