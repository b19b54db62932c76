#include "api/CSMTPMailAPI.h"

#include <cstring>

#include "api/CSMTPMailApp.h"
#include "diag/DiagPrint.h"
#include "diag/FunctionTrace.h"
#include "smtp/TSMTPConnection.h"

CSMTPMailAPI::CSMTPMailAPI() = default;

CSMTPMailAPI::~CSMTPMailAPI() {
    Uninitialize();
}

bool CSMTPMailAPI::Initialize(MAILINIFLAGS* pFlags) {
    DiagPrint(u"CSMTPMailAPI::Initialize(%p) ==>\n", static_cast<void*>(pFlags));
    if (!CMailAPI::Initialize(pFlags)) {
        DiagPrint(u"CSMTPMailAPI::Initialize() <== return false; (CMailAPI::Initialize failed)\n");
        return false;
    }
    theApp.Initialize(static_cast<HMODULE>(pFlags->hResource));
    if (!m_bInitialized) {
        if (!theApp.InitializeSMTP()) {
            DiagPrint(
                u"CSMTPMailAPI::Initialize() <== return false; (theApp.InitializeSMTP failed)\n");
            return false;
        }
        m_bInitialized = true;
    }
    if (!m_bLoggedIn)
        m_bLoggedIn = Login(pFlags);
    DiagPrint(u"CSMTPMailAPI::Initialize() <== return %s;\n", m_bInitialized ? u"true" : u"false");
    return m_bInitialized;
}

void CSMTPMailAPI::Uninitialize() {
    TFunctionTrace trace(u"CSMTPMailAPI::Uninitialize");
    EndKeptConnection();
    if (m_bInitialized) {
        m_bInitialized = false;
        theApp.UninitializeSMTP();
    }
}

HMAILITEM CSMTPMailAPI::FindFirst(void* /*pArg*/) {
    return nullptr;
}

MAILRESULT CSMTPMailAPI::ResolveAddress(const char16_t* pszAddress, MAILADDRESS* pResolvedAddress,
                                        const MAILRESOLVEADDRESSFLAGS* pFlags) {
    DiagPrint(u"CSMTPMailAPI::ResolveName() ==>\n");
    if (pszAddress == nullptr) {
        SetLastError(MAILERR_INVALID_PARAMS,
                     u"CSMTPMailAPI::ResolveAddress: pszAddress may not be NULL.", 0);
        return MAILERR_INVALID_PARAMS;
    }
    if (pResolvedAddress == nullptr) {
        SetLastError(MAILERR_INVALID_PARAMS,
                     u"CSMTPMailAPI::ResolveAddress: pResolvedAddress may not be NULL.", 0);
        return MAILERR_INVALID_PARAMS;
    }
    if (pResolvedAddress->cbSize != sizeof(MAILADDRESS)) {
        SetLastError(MAILERR_INVALID_PARAMS,
                     u"CSMTPMailAPI::ResolveAddress: unsupported MAILADDRESS structure.", 0);
        return MAILERR_INVALID_PARAMS;
    }
    if (pFlags != nullptr && pFlags->cbSize != sizeof(MAILRESOLVEADDRESSFLAGS)) {
        SetLastError(
            MAILERR_INVALID_PARAMS,
            u"CSMTPMailAPI::ResolveAddress: unsupported MAILRESOLVEADDRESSFLAGS structure.", 0);
        return MAILERR_INVALID_PARAMS;
    }
    // An SMTP server cannot look names up: every well-formed request ends here.
    DiagPrint(u"CSMTPMailAPI::ResolveName() <== return %s;\n", MailErrorName(MAILERR_NOT_FOUND));
    return MAILERR_NOT_FOUND;
}

MAILRESULT CSMTPMailAPI::Deliver(DWORD /*dwArgument*/) {
    DiagPrint(u"CSMTPMailAPI::Deliver() ==>\n");
    DiagPrint(u"CSMTPMailAPI::Deliver() <== return %s;\n", MailErrorName(MAILERR_OK));
    return MAILERR_OK;
}

MAILRESULT CSMTPMailAPI::Execute(DWORD dwCommand, void* pArg) {
    DiagPrint(u"CSMTPMailAPI::Execute() ==>\n");
    MAILRESULT nResult = CMailAPI::Execute(dwCommand, pArg);
    DiagPrint(u"CSMTPMailAPI::Execute() <== return %s;\n", MailErrorName(nResult));
    return nResult;
}

MAILRESULT CSMTPMailAPI::GetProperty(const char16_t* pszPropertyName, void* pszPropertyValue,
                                     DWORD cbPropertyValue) {
    DiagPrint(u"CSMTPMailAPI::GetProperty() ==>\n");
    MAILRESULT nResult = MAILERR_OK;
    std::u16string name = pszPropertyName != nullptr ? pszPropertyName : u"";
    if (pszPropertyName == nullptr) {
        nResult = MAILERR_INVALID_PARAMS;
        SetLastError(nResult, u"CSMTPMailAPI::GetProperty: pszPropertyName may not be NULL.", 0);
    } else if (pszPropertyValue == nullptr) {
        nResult = MAILERR_INVALID_PARAMS;
        SetLastError(nResult, u"CSMTPMailAPI::GetProperty: pszPropertyValue may not be NULL.", 0);
    } else if (cbPropertyValue == 0) {
        nResult = MAILERR_INVALID_PARAMS;
        SetLastError(nResult, u"CSMTPMailAPI::GetProperty: cbPropertyValue may not be 0.", 0);
    } else if (name == u"SupportsHTML" && cbPropertyValue != sizeof(BOOL)) {
        nResult = MAILERR_INVALID_PARAMS;
        SetLastError(nResult, u"CSMTPMailAPI::GetProperty: cbPropertyValue expected sizeof(BOOL).",
                     0);
    } else if (name == u"SupportsHTML") {
        BOOL bTrue = 1;
        std::memcpy(pszPropertyValue, &bTrue, sizeof bTrue);
    }
    // Other names are answered with success and an untouched buffer.
    DiagPrint(u"CSMTPMailAPI::GetProperty() <== return %s;\n", MailErrorName(nResult));
    return nResult;
}
