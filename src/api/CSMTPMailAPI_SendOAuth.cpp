// The OAuth2 route of Send: the built message is taken apart into the lists
// and texts that OAuthRelay's SendEmailWithContent takes, and the relay obtains
// the token and delivers it.
#include <string>

#include "OAuthRelay.h"
#include "api/CSMTPMailAPI.h"
#include "api/HeaderText.h"
#include "diag/DiagPrint.h"
#include "diag/HostLog.h"
#include "mime/TSMTPMessage.h"
#include "platform/WideFormat.h"

namespace {

// The relay takes a missing list as null, not as an empty text.
const char16_t* ListArgument(const std::u16string& sList) {
    return sList.empty() ? nullptr : sList.c_str();
}

std::u16string AddressList(const TSMTPMessage& message, int nKind) {
    std::u16string sList;
    for (int i = 0; i < message.GetNumberOfRecipients(nKind); ++i) {
        const TSMTPAddress* pRecipient = message.GetRecipient(i, nKind);
        if (pRecipient == nullptr || pRecipient->m_sEmailAddress.empty())
            continue;
        if (!sList.empty())
            sList += u";";
        sList += pRecipient->m_sEmailAddress;
    }
    return sList;
}

// The text or HTML body the relay sends; it follows the body-format setting.
std::u16string BodyText(const TSMTPMessage& message, int nBodyFormat) {
    if (nBodyFormat == 1)
        return message.GetHTMLBody();
    if (!message.m_bMime)
        return message.GetTextBody();
    for (int i = 0; i < message.m_RootPart.GetNumberOfChildBodyParts(); ++i) {
        const TSMTPBodyPart* pPart = message.m_RootPart.GetChildBodyPart(i);
        if (pPart != nullptr && pPart->m_sFilename.empty())
            return pPart->m_sText;
    }
    return std::u16string();
}

void LogProgress(const std::u16string& sText) {
    HostLogMessage(HOSTLOG_PROGRESS, sText.c_str());
}

}  // namespace

MAILRESULT CSMTPMailAPI::SendThroughOAuthRelay(TSMTPMessage& message,
                                               const MAILMESSAGE& hostMessage) {
    DiagPrint(u"CSMTPMailAPI::Send() - Using OAuth2 authentication via OAuthRelay\n");

    const std::u16string sTo = AddressList(message, TSMTPMessage::TO);
    const std::u16string sCc = AddressList(message, TSMTPMessage::CC);
    const std::u16string sBcc = AddressList(message, TSMTPMessage::BCC);

    const std::u16string sBody = BodyText(message, m_nBodyFormat);
    if (sBody.empty())
        HostLogMessage(HOSTLOG_WARNING, u"Message body is empty");

    std::u16string sAttachments;
    const int nParts = message.m_RootPart.GetNumberOfChildBodyParts();
    if (nParts > 0) {
        std::u16string sNote =
            platform::WFormat(u"%s Processing %d attachments", u"CSMTPMailAPI::Send", nParts);
        if (sNote.size() > 255)
            sNote.resize(255);
        LogProgress(sNote);
        for (int i = 0; i < nParts; ++i) {
            if (!sAttachments.empty())
                sAttachments += u";";
            const TSMTPBodyPart* pPart = message.m_RootPart.GetChildBodyPart(i);
            if (pPart != nullptr)
                sAttachments += pPart->m_sFilename;
        }
        if (!sAttachments.empty())
            LogProgress(platform::WFormat(u"%s Attachments: %s", u"CSMTPMailAPI::Send",
                                          sAttachments.c_str()));
    } else {
        LogProgress(u"CSMTPMailAPI::Send No attachments to process");
    }

    std::u16string sHeaders;
    for (int i = 0; i < message.GetNumberOfCustomHeaders(); ++i) {
        if (i > 0)
            sHeaders += u";";
        sHeaders += message.GetCustomHeader(i);
    }

    // The relay writes its own header block from the sender settings.
    const std::u16string sSenderName = OneHeaderLine(m_strSenderName);
    const std::u16string sSenderAddr = OneHeaderLine(m_strSenderAddr);
    const char16_t* pszResult = SendEmailWithContent(
        ListArgument(sTo), ListArgument(sCc), ListArgument(sBcc), message.m_sSubject.c_str(),
        sBody.c_str(), m_nBodyFormat == 1, sSenderName.c_str(), sSenderAddr.c_str(),
        m_strHost.c_str(), m_nPort, hostMessage.nPriority, m_strCharset.c_str(), m_bStartTLS,
        message.m_bMime != 0, (hostMessage.dwFlags & MAILMSG_NOTIFY_SUCCESS) != 0,
        (hostMessage.dwFlags & MAILMSG_NOTIFY_FAILURE) != 0, ListArgument(sAttachments),
        m_strOAuthClientId.c_str(), m_strOAuthClientSecret.c_str(), m_strOAuthTenantId.c_str(),
        m_strOAuthScope.c_str(), m_strOAuthAuthority.c_str(), ListArgument(sHeaders));

    if (pszResult == nullptr || pszResult[0] == 0)
        return MAILERR_OK;
    DiagPrint(u"CSMTPMailAPI::Send() - OAuth2 send failed: %s\n", pszResult);
    SetLastError(MAILERR_SEND, pszResult, 0);
    return MAILERR_SEND;
}
