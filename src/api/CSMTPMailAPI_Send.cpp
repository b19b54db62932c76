// Send: one host message built into a TSMTPMessage and delivered through one
// SMTP connection, or through OAuthRelay when the account uses OAuth2.
#include <memory>
#include <string>
#include <vector>

#include "api/CSMTPMailAPI.h"
#include "api/HeaderText.h"
#include "api/WideText.h"
#include "config/FileToMemory.h"
#include "diag/DiagPrint.h"
#include "diag/HostLog.h"
#include "mime/TSMTPAddress.h"
#include "mime/TSMTPMessage.h"
#include "platform/Idna.h"
#include "platform/LastError.h"
#include "platform/WideFormat.h"
#include "smtp/TSMTPConnection.h"
#include "transport/TSMTPException.h"
#include "vxstring.h"

namespace {

// The longest address a path of RFC 5321 can carry.
constexpr std::size_t kMaxAddressLength = 254;

// szContentType is a fixed field of the host record; it need not be terminated.
bool IsHtmlContentType(const MAILMESSAGE& message) {
    constexpr size_t cchField = sizeof message.szContentType / sizeof message.szContentType[0];
    std::u16string sType;
    for (size_t i = 0; i < cchField && message.szContentType[i] != 0; ++i)
        sType.push_back(static_cast<char16_t>(message.szContentType[i]));
    return sType == u"text/html";
}

const char16_t* const kSendingFailed =
    u"CSMTPMailAPI::Send() - An error occured sending the message. ";

// The body named by the host; false when there is none. A body file that
// cannot be read fails the send as an attachment that cannot be read does,
// and leaves no body.
bool ReadBody(CSMTPMailAPI& api, const MAILMESSAGE& message, std::u16string& sBody,
              MAILRESULT& nResult) {
    if (message.nBodyType == MAILBODY_MEMORY) {
        if (message.nBodyLength == 0 || message.pszBody == nullptr)
            return false;
        sBody = FromHost(message.pszBody);
        return true;
    }
    if (message.nBodyType != MAILBODY_FILE)
        return false;

    const std::u16string sPath = FromHost(message.pszBody);
    void* pBlock = nullptr;
    DWORD dwSize = 0;
    DWORD dwError = FileToMemory(sPath.c_str(), &pBlock, &dwSize, 1);
    if (dwError != 0) {
        platform::SetLastError(dwError);
        nResult = api.ReportSendException(TSMTPException(3, u"Getting body content failed!"),
                                          kSendingFailed, MAILERR_SEND);
        return false;
    }
    // The block holds NUL-terminated wide text; hand it back whatever happens next.
    std::unique_ptr<void, void (*)(void*)> block(pBlock, FreeMemory);
    const char16_t* pszText = static_cast<const char16_t*>(block.get());
    if (pszText == nullptr || dwSize < sizeof(char16_t) || pszText[0] == 0) {
        DiagPrint(u"Warning! no body returned for file '%s'\n", sPath.c_str());
        return false;
    }
    sBody.assign(pszText, dwSize / sizeof(char16_t));
    sBody.resize(std::char_traits<char16_t>::length(sBody.c_str()));
    return true;
}

// Display names of attachments end up in part headers: one line each.
void FlattenAttachmentTitles(TSMTPMessage& message) {
    for (int i = 0; i < message.m_RootPart.GetNumberOfChildBodyParts(); ++i) {
        TSMTPBodyPart* pPart = message.m_RootPart.GetChildBodyPart(i);
        if (pPart != nullptr && !pPart->m_sFilename.empty())
            pPart->m_sTitle = OneHeaderLine(pPart->m_sTitle);
    }
}

// Why an address cannot go between the angle brackets of MAIL FROM or RCPT
// TO; null when it can, and then the address holds its domain as SMTP carries
// it (the A-labels of a domain written outside ASCII). A bracket or blank
// would end the path and let the rest pass for parameters of the command, a
// domain that IDNA refuses has no A-labels, and RFC 5321 allows no longer
// path than 254 characters, counted in A-labels.
const char16_t* PrepareAddress(std::u16string& sAddress) {
    for (char16_t c : sAddress) {
        if (c == u'<' || c == u'>' || c == u' ' || c < 0x20 || c == 0x7F)
            return u"it contains '<', '>', a blank or a control character";
    }
    std::u16string sAscii;
    if (!platform::AddressToAscii(sAddress, sAscii))
        return u"its domain is not a valid internationalized domain name (IDNA)";
    if (sAscii.size() > kMaxAddressLength)
        return u"it is longer than 254 characters";
    sAddress = std::move(sAscii);
    return nullptr;
}

// The sender and every recipient prepared for the envelope and the header
// block; false with the first address that cannot be sent, and the reason.
bool PrepareAddresses(TSMTPMessage& message, std::u16string& sAddress, const char16_t*& pszReason) {
    std::vector<TSMTPAddress*> addresses = {&message.m_From};
    for (int nKind : {TSMTPMessage::TO, TSMTPMessage::CC, TSMTPMessage::BCC}) {
        for (int i = 0; i < message.GetNumberOfRecipients(nKind); ++i)
            addresses.push_back(message.GetRecipient(i, nKind));
    }
    for (TSMTPAddress* pAddress : addresses) {
        if (pAddress == nullptr)
            continue;
        sAddress = pAddress->m_sEmailAddress;
        pszReason = PrepareAddress(pAddress->m_sEmailAddress);
        if (pszReason != nullptr)
            return false;
    }
    return true;
}

// An address shown in a description: a long one is cut, so that the
// description keeps its end.
std::u16string ShownAddress(const std::u16string& sAddress) {
    constexpr std::size_t kShown = 64;
    return sAddress.size() <= kShown ? sAddress : sAddress.substr(0, kShown) + u"...";
}

}  // namespace

MAILRESULT CSMTPMailAPI::Send(const MAILMESSAGE* pMessage, const MAILSENDFLAGS* pSendFlags) {
    DiagPrint(u"CSMTPMailAPI::Send() ==>\n");
    MAILRESULT nResult = MAILERR_OK;

    // Settings that were there but could not be used are the reason, not
    // the sender or server they left empty.
    if (m_strHost.empty() && !m_strUnusableSettings.empty()) {
        SetLastError(
            MAILERR_INIT,
            (u"CSMTPMailAPI::Send() - The settings cannot be used " + m_strUnusableSettings)
                .c_str(),
            m_dwUnusableSettings);
        return MAILERR_INIT;
    }

    const bool bOriginatorAddress = pMessage != nullptr && pMessage->pOriginator != nullptr &&
                                    pMessage->pOriginator->pszAddress != nullptr;
    if (pMessage == nullptr || (!bOriginatorAddress && m_strSenderAddr.empty())) {
        if (m_bAborted) {
            SetLastError(MAILERR_ABORTED, u"CSMTPMailAPI::Send() - User aborted.", 0);
            return MAILERR_ABORTED;
        }
        DiagPrint(u"CSMTPMailAPI::Send() Error - no Sender specified.\n");
        SetLastError(MAILERR_INVALID_PARAMS, u"CSMTPMailAPI::Send() Error - no Sender specified.",
                     0);
        return MAILERR_INVALID_PARAMS;
    }

    try {
        auto message = std::make_unique<TSMTPMessage>();
        std::unique_ptr<TSMTPConnection> connection;
        message->SetCharset(m_strCharset);
        message->m_Priority = pMessage->nPriority;

        // The host's originator becomes the sender for this and later sends.
        if (pMessage->pOriginator != nullptr) {
            if (pMessage->pOriginator->pszName != nullptr)
                m_strSenderName = FromHost(pMessage->pOriginator->pszName);
            if (pMessage->pOriginator->pszAddress != nullptr)
                m_strSenderAddr = FromHost(pMessage->pOriginator->pszAddress);
        }
        if (m_strSenderName.empty())
            message->m_From = TSMTPAddress(OneHeaderLine(m_strSenderAddr));
        else
            message->m_From =
                TSMTPAddress(OneHeaderLine(m_strSenderName), OneHeaderLine(m_strSenderAddr));
        message->m_sXMailer.clear();

        if (pMessage->pRecipients != nullptr) {
            for (int i = 0; i < pMessage->nRecipients; ++i) {
                const MAILRECIPIENT& r = pMessage->pRecipients[i];
                TSMTPAddress recipient(OneHeaderLine(FromHost(r.pszName)),
                                       OneHeaderLine(FromHost(r.pszAddress)));
                message->AddRecipient(recipient, r.nKind - 1);
            }
        }
        std::u16string sBadAddress;
        const char16_t* pszReason = nullptr;
        const bool bAddressesSendable = PrepareAddresses(*message, sBadAddress, pszReason);

        if ((pMessage->dwFlags & MAILMSG_READ_RECEIPT) != 0)
            message->AddCustomHeader(u"Disposition-Notification-To: " +
                                     message->m_From.m_sEmailAddress);

        if (pMessage->pszSubject != nullptr && pMessage->pszSubject[0] != 0)
            message->m_sSubject = OneHeaderLine(FromHost(pMessage->pszSubject));

        const bool bHtml = IsHtmlContentType(*pMessage);
        message->SetMime(bHtml);

        std::u16string sBody;
        if (ReadBody(*this, *pMessage, sBody, nResult)) {
            if (bHtml)
                message->AddHTMLBody(sBody, std::u16string());
            else
                message->AddTextBody(sBody);
        }
        sBody = std::u16string();

        const bool bNoAttachments =
            pSendFlags != nullptr && pSendFlags->dwOptions == MAILSEND_NO_ATTACHMENTS;
        if (!bNoAttachments && pMessage->nAttachments != 0) {
            message->AddMultipleAttachments(pMessage->pAttachments, pMessage->nAttachments);
            if (pMessage->nAttachments > 0)
                message->SetMime(true);
            FlattenAttachmentTitles(*message);
        }

        bool bReused = false;
        connection = TakeConnection(bReused);
        connection->SetPipelining(m_nKeepAliveSeconds > 0);
        if (m_strHost.empty()) {
            SetLastError(MAILERR_INVALID_PARAMS,
                         u"CSMTPMailAPI::Send() - HostName may not be NULL.", 0);
            nResult = MAILERR_INVALID_PARAMS;
        } else if (m_nPort < 1 || m_nPort > 65535) {
            // A port outside the TCP range would wrap to another one.
            SetLastError(MAILERR_INVALID_PARAMS,
                         platform::WFormat(u"CSMTPMailAPI::Send() - The port %d is not a TCP port "
                                           u"(1 to 65535).",
                                           m_nPort)
                             .c_str(),
                         0);
            nResult = MAILERR_INVALID_PARAMS;
        } else if (!bAddressesSendable) {
            nResult = RefuseAddress(pszReason, sBadAddress);
        } else if (!bReused) {
            // A body that could not be read is already the result; the
            // session still greets and says goodbye.
            const MAILRESULT nConnected = ConnectForSend(*connection);
            if (nConnected != MAILERR_OK)
                nResult = nConnected;
        }

        // The server's EHLO reply is known now: an address beyond ASCII (after
        // the domains' conversion, in its local part) needs SMTPUTF8 (RFC 6531).
        const std::u16string* pInternational = message->FindInternationalAddress();
        if (nResult == MAILERR_OK && pInternational != nullptr && !connection->OffersSMTPUTF8()) {
            nResult =
                RefuseAddress(u"the server does not accept internationalized addresses (SMTPUTF8)",
                              *pInternational);
        }

        if (nResult == MAILERR_OK) {
            try {
                if (m_nAuthMethod == TSMTPConnection::AUTH_OAUTH2) {
                    nResult = SendThroughOAuthRelay(*message, *pMessage);
                } else {
                    connection->SetDSNFlags((pMessage->dwFlags & MAILMSG_NOTIFY_SUCCESS) != 0,
                                            (pMessage->dwFlags & MAILMSG_NOTIFY_FAILURE) != 0);
                    nResult = SendOnConnection(*connection, *message, bReused);
                }
            } catch (const TSMTPException& e) {
                nResult = ReportSendException(e, kSendingFailed, MAILERR_SEND);
            }
        }

        message.reset();
        KeepConnection(std::move(connection));
    } catch (...) {
        DiagPrint(u"CSMTPMailAPI::Send unspecified exception.\n");
        SetLastError(MAILERR_INIT, u"CSMTPMailAPI::Send() - unspecified exception.", 0);
        nResult = MAILERR_INIT;
    }

    DiagPrint(u"CSMTPMailAPI::Send() <== return %s\n", MailErrorName(nResult));
    return nResult;
}

MAILRESULT CSMTPMailAPI::ConnectForSend(TSMTPConnection& connection) {
    try {
        connection.Connect(m_strHost.c_str(), m_nAuthMethod, m_strUser.c_str(),
                           m_strPassword.c_str(), m_nPort);
    } catch (const TSMTPException& e) {
        return ReportSendException(
            e, u"CSMTPMailAPI::Send() - An error occured connecting to server. ",
            MAILERR_ACCESS_DENIED);
    }
    return MAILERR_OK;
}

MAILRESULT CSMTPMailAPI::SendOnConnection(TSMTPConnection& connection, TSMTPMessage& message,
                                          bool bReused) {
    try {
        connection.SendMessageW(message);
        return MAILERR_OK;
    } catch (const TSMTPException& e) {
        // A kept connection that the server ended before it took a
        // recipient is replaced once; the message was not delivered.
        if (!bReused || !connection.ClosedBeforeAnyRecipient())
            throw;
        NoteConnection(
            platform::WFormat(u"CSMTPMailAPI::Send() - The server closed the kept connection to "
                              u"%s port %d (%s); a new connection replaces it.",
                              m_strHost.c_str(), m_nPort, e.m_strText.c_str()));
    }
    connection.AbortConnection();
    const MAILRESULT nResult = ConnectForSend(connection);
    if (nResult == MAILERR_OK)
        connection.SendMessageW(message);
    return nResult;
}

MAILRESULT CSMTPMailAPI::RefuseAddress(const char16_t* pszReason, const std::u16string& sAddress) {
    SetLastError(
        MAILERR_INVALID_PARAMS,
        platform::WFormat(u"CSMTPMailAPI::Send() - The address cannot be sent because %s: %s",
                          pszReason, ShownAddress(sAddress).c_str())
            .c_str(),
        0);
    return MAILERR_INVALID_PARAMS;
}

MAILRESULT CSMTPMailAPI::ReportSendException(const TSMTPException& e, const char16_t* pszWhat,
                                             MAILRESULT nCode) {
    const std::u16string sText = pszWhat + e.m_strText;
    DiagPrint(u"%s\n", sText.c_str());
    SetLastError(nCode, sText.c_str(), e.m_dwError);
    HostLogMessage(e.m_nKind, sText.c_str());
    return nCode;
}
