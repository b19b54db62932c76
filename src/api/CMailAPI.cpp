#include "api/CMailAPI.h"

#include <cstring>

#include "api/CMailApp.h"
#include "api/WideText.h"
#include "diag/DiagPrint.h"
#include "diag/HostLog.h"
#include "diag/NetworkLog.h"
#include "platform/WideFormat.h"
#include "vxstring.h"

namespace {

struct ErrorName {
    MAILRESULT nCode;
    const char16_t* pszName;
};

const ErrorName kErrorNames[] = {
    {MAILERR_OK, u"MAILERR_OK"},
    {MAILERR_NO_MORE_ITEMS, u"MAILERR_NO_MORE_ITEMS"},
    {MAILERR_INIT, u"MAILERR_INIT"},
    {MAILERR_SEND, u"MAILERR_SEND"},
    {MAILERR_SEND_FILE, u"MAILERR_SEND_FILE"},
    {MAILERR_SEND_ATTACH, u"MAILERR_SEND_ATTACH"},
    {MAILERR_RECEIVE, u"MAILERR_RECEIVE"},
    {MAILERR_RECEIVE_FILE, u"MAILERR_RECEIVE_FILE"},
    {MAILERR_RECEIVE_ATTACH, u"MAILERR_RECEIVE_ATTACH"},
    {MAILERR_DELETE, u"MAILERR_DELETE"},
    {MAILERR_GENERIC, u"MAILERR_GENERIC"},
    {MAILERR_NOT_FOUND, u"MAILERR_NOT_FOUND"},
    {MAILERR_AMBIGUOUS, u"MAILERR_AMBIGUOUS"},
    {MAILERR_DEL_MAIL, u"MAILERR_DEL_MAIL"},
    {MAILERR_OUT_OF_MEM, u"MAILERR_OUT_OF_MEM"},
    {MAILERR_INVALID_PARAMS, u"MAILERR_INVALID_PARAMS"},
    {MAILERR_INVALID_OPERATION, u"MAILERR_INVALID_OPERATION"},
    {MAILERR_NO_ATTACH, u"MAILERR_NO_ATTACH"},
    {MAILERR_ABORTED, u"MAILERR_ABORTED"},
    {MAILERR_ACCESS_DENIED, u"MAILERR_ACCESS_DENIED"},
    {MAILERR_INTERNAL, u"MAILERR_INTERNAL"},
};

// An information record: present, and exactly the size of its kind. A
// failure is the handle's last error.
template <typename Record>
bool IsValidRecord(CMailAPI& api, const Record* pRecord, const char16_t* pszNull,
                   const char16_t* pszSize) {
    if (pRecord == nullptr)
        api.SetLastError(MAILERR_INVALID_PARAMS, pszNull, 0);
    else if (pRecord->cbSize != sizeof(Record))
        api.SetLastError(MAILERR_INVALID_PARAMS, pszSize, 0);
    else
        return true;
    return false;
}

}  // namespace

const char16_t* MailErrorName(MAILRESULT nCode) {
    for (const ErrorName& e : kErrorNames) {
        if (e.nCode == nCode)
            return e.pszName;
    }
    return u"MAILERR_???";
}

CMailAPI::CMailAPI() : m_hResource(nullptr) {}

CMailAPI::~CMailAPI() = default;

bool CMailAPI::Initialize(MAILINIFLAGS* pFlags) {
    if (pFlags == nullptr) {
        SetLastError(MAILERR_INVALID_PARAMS, u"CMailAPI::Initialize: pFlags may not be NULL.", 0);
        return false;
    }
    // The host's log interface is taken before anything else is checked; it
    // is this handle's, and the calling thread's for the rest of the call.
    m_pLogProvider = pFlags->logProvider;
    SetHostLogProvider(pFlags->logProvider);
    if (pFlags->logProvider == nullptr) {
        SetLastError(MAILERR_INVALID_PARAMS,
                     u"CMailAPI::Initialize: pFlags->logProvider may not be NULL.", 0);
        return false;
    }
    if (pFlags->cbSize < MAILINIFLAGS_MIN_SIZE) {
        SetLastError(MAILERR_INVALID_PARAMS,
                     u"CMailAPI::Initialize: unsupported version of MAILINIFLAGS.", 0);
        return false;
    }
    m_hResource = static_cast<HMODULE>(pFlags->hResource);
    m_strPrimaryDir = FromHost(pFlags->pszPrimaryDir);
    m_strSecondaryDir = FromHost(pFlags->pszSecondaryDir);
    return true;
}

MAILRESULT CMailAPI::Execute(DWORD dwCommand, void* pArg) {
    DiagPrint(u"CMailAPI::Execute() ==>\n");
    MAILRESULT nResult;
    switch (dwCommand) {
        case MAILCMD_GETERRORTEXT:
            nResult = GetErrorText(static_cast<MAILERRORTEXT*>(pArg));
            break;
        case MAILCMD_FORMATERROR:
            nResult = FormatError(static_cast<MAILFORMATERROR*>(pArg));
            break;
        case MAILCMD_GETNAME:
            nResult = GetName(static_cast<MAILNAME*>(pArg));
            break;
        default:
            nResult = MAILERR_INVALID_PARAMS;
            break;
    }
    DiagPrint(u"CMailAPI::Execute() <== return %s;\n", MailErrorName(nResult));
    return nResult;
}

MAILRESULT CMailAPI::SetProperty(const char16_t* /*pszPropertyName*/,
                                 const void* /*pszPropertyValue*/) {
    SetLastError(MAILERR_INVALID_PARAMS, u"Property not supported.", 0);
    return MAILERR_INVALID_PARAMS;
}

MAILRESULT CMailAPI::GetProperty(const char16_t* /*pszPropertyName*/, void* /*pszPropertyValue*/,
                                 DWORD /*cbPropertyValue*/) {
    SetLastError(MAILERR_INVALID_PARAMS, u"Property not supported.", 0);
    return MAILERR_INVALID_PARAMS;
}

MAILRESULT CMailAPI::FreeBuffer(void* pBuffer) {
    if (pBuffer == nullptr)
        return MAILERR_INVALID_PARAMS;
    FreeMemory(pBuffer);
    return MAILERR_OK;
}

MAILERROR& CMailAPI::LastErrorOfThisThread() {
    return m_LastErrors.try_emplace(std::this_thread::get_id(), MAILERROR{}).first->second;
}

MAILERROR* CMailAPI::GetLastError() {
    return &LastErrorOfThisThread();
}

MAILRESULT CMailAPI::GetErrorText(MAILERRORTEXT* pErrorText) {
    if (!IsValidRecord(*this, pErrorText, u"pErrorText may not be NULL",
                       u"invalid pErrorText->cbSize"))
        return MAILERR_INVALID_PARAMS;
    std::memset(pErrorText->szText, 0, sizeof pErrorText->szText);
    std::u16string text = CMailApp::LookupErrorText(m_hResource, pErrorText->nCode);
    if (pErrorText->dwFlags & 1) {
        text += platform::WFormat(text.empty() ? u"%d" : u" (%d)", pErrorText->nCode);
    }
    CopyToHost(pErrorText->szText, 256, text);
    return MAILERR_OK;
}

MAILRESULT CMailAPI::FormatError(MAILFORMATERROR* pFormatError) {
    if (!IsValidRecord(*this, pFormatError, u"pFormatError may not be NULL",
                       u"invalid pFormatError->cbSize"))
        return MAILERR_INVALID_PARAMS;
    std::memset(pFormatError->szText, 0, sizeof pFormatError->szText);
    const MAILERROR* pError = GetLastError();
    std::u16string report = CMailApp::LookupErrorText(m_hResource, pError->nCode);
    report += platform::WFormat(report.empty() ? u"%d, 0x%X" : u" (%d, 0x%X)", pError->nCode,
                                pError->nCode);
    report += u"\r\n\r\n";
    std::u16string description = FromHost(pError->szDescription);
    if (!description.empty())
        report += description + u" ";
    report += platform::WFormat(u"0x%X", pError->dwNativeCode);
    CopyToHost(pFormatError->szText, 512, ShortenedText(report, 512));
    return MAILERR_OK;
}

MAILRESULT CMailAPI::GetName(MAILNAME* pName) {
    if (!IsValidRecord(*this, pName, u"pName may not be NULL", u"invalid pName->cbSize"))
        return MAILERR_INVALID_PARAMS;
    CopyToHost(pName->szName, 80, GetProviderName());
    return MAILERR_OK;
}

void CMailAPI::ClearLastError() {
    std::memset(&LastErrorOfThisThread(), 0, sizeof(MAILERROR));
}

void CMailAPI::SetLastError(MAILRESULT nCode, const char16_t* pszDescription, DWORD dwNativeCode) {
    DiagPrint(u"CMailAPI::SetLastError(nCode='%s' (=%d)) ==>\n", MailErrorName(nCode), nCode);
    MAILERROR& error = LastErrorOfThisThread();
    error.nCode = nCode;
    std::u16string description = pszDescription != nullptr
                                     ? std::u16string(pszDescription)
                                     : CMailApp::LookupErrorText(m_hResource, nCode);
    CopyToHost(error.szDescription, 256, ShortenedText(description, 256));
    error.dwNativeCode = dwNativeCode;
    NetworkLogWrite(3, u"Code=%d, Description '%s', NativeCode=0x%lX\n", nCode,
                    reinterpret_cast<const char16_t*>(error.szDescription), dwNativeCode);
    DiagPrint(u"CMailAPI::SetLastError() <==\n");
}
