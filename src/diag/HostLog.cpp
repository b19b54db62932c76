#include "diag/HostLog.h"

#include "diag/DiagPrint.h"
#include "mailapi.h"

namespace {
// The provider of the handle whose call this thread is running.
thread_local ILogProvider* t_pLogProvider = nullptr;

const MAILWCHAR* Host(const char16_t* s) {
    return reinterpret_cast<const MAILWCHAR*>(s);
}
}  // namespace

void SetHostLogProvider(ILogProvider* provider) {
    t_pLogProvider = provider;
}

ILogProvider* GetHostLogProvider() {
    return t_pLogProvider;
}

THostLogScope::THostLogScope(ILogProvider* provider) : m_pPrevious(t_pLogProvider) {
    t_pLogProvider = provider;
}

THostLogScope::~THostLogScope() {
    t_pLogProvider = m_pPrevious;
}

void HostLogMessage(int level, const char16_t* text) {
    if (t_pLogProvider == nullptr)
        return;
    t_pLogProvider->WriteMessage(nullptr, DIAG_LOG_TYPE, level, Host(text));
}

void HostLogWrite(int level, const char16_t* text, const char16_t* function) {
    if (t_pLogProvider == nullptr)
        return;
    t_pLogProvider->WriteLog(nullptr, DIAG_LOG_TYPE, level, Host(text), nullptr, Host(function));
}
