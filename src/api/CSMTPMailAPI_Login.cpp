#include "api/CSMTPMailAPI.h"
#include "diag/FunctionTrace.h"

// Settings sources are not wired up yet: only the host's password is taken.
bool CSMTPMailAPI::Login(MAILINIFLAGS* pFlags) {
    TFunctionTrace trace(u"CSMTPMailAPI::Login");
    m_bAborted = false;
    if (pFlags != nullptr && pFlags->pszPassword != nullptr) m_strPassword = pFlags->pszPassword;
    return false;
}
