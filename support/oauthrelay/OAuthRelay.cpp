#include "OAuthRelay.h"

#include <exception>
#include <new>
#include <string>

#include "RelayError.h"
#include "RelaySend.h"
#include "TextConvert.h"

using namespace oauthrelay;

namespace {

// The result of the calling thread's latest call; it stays valid until that
// thread calls again.
thread_local std::u16string t_strResult;

const char16_t* Result(const std::string& strText) {
    try {
        t_strResult = Utf8ToUtf16(strText);
        return t_strResult.c_str();
    } catch (...) {
        // No memory even for the text: a constant that needs none.
        return u"Out of memory.";
    }
}

std::string Narrow(const char16_t* pszText) {
    return Utf16ToUtf8(ArgumentText(pszText));
}

}  // namespace

// bMime is accepted for the caller's sake: every message goes out as MIME,
// since the charset label and the attachments need it anyway.
extern "C" OAUTHRELAY_API const char16_t* SendEmailWithContent(
    const char16_t* pszTo, const char16_t* pszCc, const char16_t* pszBcc,
    const char16_t* pszSubject, const char16_t* pszBody, bool bHtml, const char16_t* pszSenderName,
    const char16_t* pszSenderAddress, const char16_t* pszHost, int nPort, int nPriority,
    const char16_t* pszCharset, bool bStartTLS, bool bMime, bool bNotifySuccess,
    bool bNotifyFailure, const char16_t* pszAttachments, const char16_t* pszClientId,
    const char16_t* pszClientSecret, const char16_t* pszTenantId, const char16_t* pszScope,
    const char16_t* pszAuthority, const char16_t* pszCustomHeaders) {
    (void)bMime;
    try {
        SendRequest request;
        request.strTo = Narrow(pszTo);
        request.strCc = Narrow(pszCc);
        request.strBcc = Narrow(pszBcc);
        request.strSubject = Narrow(pszSubject);
        request.sBody = ArgumentText(pszBody);
        request.bHtml = bHtml;
        request.strSenderName = Narrow(pszSenderName);
        request.strSenderAddress = Narrow(pszSenderAddress);
        request.strHost = Narrow(pszHost);
        request.nPort = nPort;
        request.nPriority = nPriority;
        request.strCharset = Narrow(pszCharset);
        request.bStartTLS = bStartTLS;
        request.bNotifySuccess = bNotifySuccess;
        request.bNotifyFailure = bNotifyFailure;
        request.strAttachments = Narrow(pszAttachments);
        request.strClientId = Narrow(pszClientId);
        request.strClientSecret = Narrow(pszClientSecret);
        request.strTenantId = Narrow(pszTenantId);
        request.strScope = Narrow(pszScope);
        request.strAuthority = Narrow(pszAuthority);
        request.strCustomHeaders = Narrow(pszCustomHeaders);
        RelaySend(request);
        return Result(std::string());
    } catch (const RelayError& e) {
        return Result(e.what());
    } catch (const std::bad_alloc&) {
        return Result("Out of memory while sending the message.");
    } catch (const std::exception& e) {
        return Result(std::string("The message could not be sent: ") + e.what());
    } catch (...) {
        return Result("The message could not be sent: an unexpected error occurred.");
    }
}
