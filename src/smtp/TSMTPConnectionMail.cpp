// One mail transaction: envelope, DATA, the header block and the body part
// tree in emission order, and the end of data.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "diag/DiagPrint.h"
#include "diag/FunctionTrace.h"
#include "diag/HostLog.h"
#include "mime/TAttachmentFile.h"
#include "mime/TSMTPAddress.h"
#include "mime/TSMTPBodyPart.h"
#include "mime/TSMTPMessage.h"
#include "platform/LastError.h"
#include "smtp/TSMTPConnection.h"
#include "transport/TSMTPException.h"
#include "transport/TSMTPSSLSocket.h"
#include "vxutil.h"

namespace {

// The message text goes out in blocks of whole TLS records (at most 16 KiB
// of payload each), gathered from the small pieces of the header block, the
// part headers and footers and the end of data: one small write or record
// per piece would each wait for the server's acknowledgement.
constexpr std::size_t kRecordPayload = 16384;
// 16 records: an attachment goes out in sends of 256 KiB.
constexpr std::size_t kGatherSize = 16 * kRecordPayload;

void Warn(const char16_t* text) {
    HostLogMessage(HOSTLOG_WARNING, text);
}

// The envelope's recipients: To, Cc, then Bcc.
std::vector<const TSMTPAddress*> EnvelopeRecipients(const TSMTPMessage& message) {
    std::vector<const TSMTPAddress*> recipients;
    for (int nKind : {TSMTPMessage::TO, TSMTPMessage::CC, TSMTPMessage::BCC}) {
        for (int i = 0; i < message.GetNumberOfRecipients(nKind); ++i) {
            const TSMTPAddress* pRecipient = message.GetRecipient(i, nKind);
            if (pRecipient == nullptr)
                Warn(u"No recipient specified.");
            else
                recipients.push_back(pRecipient);
        }
    }
    return recipients;
}

// One block of a body part, given back by its release operation however the
// sending ends (a broken connection throws from Send).
class PartBlock {
public:
    explicit PartBlock(void (*pfnFree)(char*&)) : m_pfnFree(pfnFree) {}
    ~PartBlock() { m_pfnFree(m_pBuffer); }
    PartBlock(const PartBlock&) = delete;
    PartBlock& operator=(const PartBlock&) = delete;

    char* m_pBuffer = nullptr;
    DWORD m_dwSize = 0;

private:
    void (*m_pfnFree)(char*&);
};

}  // namespace

void TSMTPConnection::SendMessageW(TSMTPMessage& message) {
    TFunctionTrace trace(u"TSMTPConnection::SendMessageW");
    // Between the 354 reply and the end-of-data line the server takes every
    // line as message text: a failure there (an attachment that cannot be
    // read, a broken channel) cannot be followed by QUIT, which would only
    // wait for a reply that never comes. The connection is dropped instead,
    // which makes the server discard the unfinished message.
    bool bInData = false;
    try {
        if (!HasSocket()) {
            throw TSMTPException(3, u"Socked not created!");
        }
        if (!m_bConnected) {
            throw TSMTPException(3, u"Client must be connected to send a message!");
        }

        const std::u16string& sFrom = message.m_From.m_sEmailAddress;
        if (sFrom.empty()) {
            Warn(u"Field FROM contains not data.");
        }
        // An address beyond ASCII goes only to a server that offers SMTPUTF8
        // (RFC 6531), and the transaction says so; the send operation refuses
        // the message before, with its own text.
        const std::u16string* pInternational = message.FindInternationalAddress();
        if (pInternational != nullptr && !m_bServerSMTPUTF8) {
            platform::SetLastError(0);
            throw TSMTPException(4, u"The server does not accept internationalized addresses: %s",
                                 pInternational->c_str());
        }
        const std::u16string sMailFrom =
            u"MAIL FROM:<" + sFrom + (pInternational ? u"> SMTPUTF8\r\n" : u">\r\n");
        const bool bReset = m_bNeedsReset;
        m_nAcceptedRecipients = 0;
        // Until the server's 250 after the data, a next transaction on this
        // connection would find this one's envelope.
        m_bNeedsReset = true;
        std::u16string sResponse;
        const bool bPipelined = m_bPipelining && m_bServerPipelining;
        if (bPipelined) {
            SendEnvelopePipelined(sMailFrom, message, bReset);
        } else {
            if (bReset)
                ResetTransaction();
            SendCommand(sMailFrom);
            if (!ReadCommandResponse(250, sResponse)) {
                throw TSMTPException(3, u"Unexpected MAIL FROM response!. Last Response : %s",
                                     sResponse.c_str());
            }
        }

        if (message.GetNumberOfRecipients(TSMTPMessage::TO) == 0 &&
            message.GetNumberOfRecipients(TSMTPMessage::CC) == 0 &&
            message.GetNumberOfRecipients(TSMTPMessage::BCC) == 0) {
            Warn(u"Email must be send to someone.");
        }
        // NOTIFY is a DSN parameter (RFC 3461): a server that does not offer
        // DSN would refuse every recipient that carries it.
        if ((m_bNotifySuccess || m_bNotifyFailure) && !m_bServerDSN) {
            Warn(
                u"The server offers no delivery status notifications (DSN): the message goes "
                u"without NOTIFY.");
        }
        // A pipelined envelope went as one group, its recipients included.
        if (!bPipelined) {
            for (const TSMTPAddress* pRecipient : EnvelopeRecipients(message))
                SendRCPTForRecipient(*pRecipient);
        }

        sResponse.clear();
        SendCommand(std::u16string(u"DATA\r\n"));
        if (!ReadCommandResponse(354, sResponse)) {
            throw TSMTPException(3, u"Unexpected DATA response!. Last Response : %s",
                                 sResponse.c_str());
        }
        bInData = true;

        m_pData = std::make_unique_for_overwrite<char[]>(kGatherSize);
        m_nData = 0;
        const std::string sHeader = message.getHeader();
        QueueData(sHeader.data(), sHeader.size());
        QueueData("\r\n", 2);

        TSMTPBodyPart& root = message.m_RootPart;
        if (root.GetNumberOfChildBodyParts() == 0 && !message.m_bMime && root.GetText().empty()) {
            Warn(u"Body length is 0.");
        }
        // A single-part text is the root's own body, encoded as a text part's.
        SendBodyPart(&root, true);

        QueueData("\r\n.\r\n", 5);
        SendData(m_pData.get(), m_nData);
        m_pData.reset();
        m_strCommand = u"the end of the data";
        bInData = false;
        sResponse.clear();
        if (!ReadCommandResponse(250, sResponse)) {
            throw TSMTPException(3, u"Unexpected END OF MESSAGE response!. Last Response : %s",
                                 sResponse.c_str());
        }
        m_bNeedsReset = false;
    } catch (const TSMTPException& e) {
        DiagPrint(u"%s", e.GetErrorText().c_str());
        if (bInData) {
            AbortConnection();
        }
        throw;
    }
}

void TSMTPConnection::SendData(const char* pData, std::size_t nSize) {
    SendBytes(pData, nSize, u"sending the message data");
}

void TSMTPConnection::QueueData(const char* pData, std::size_t nSize) {
    // Small pieces gather until they fill the buffer.
    if (m_nData + nSize < kGatherSize) {
        std::memcpy(m_pData.get() + m_nData, pData, nSize);
        m_nData += nSize;
        return;
    }
    // What is gathered goes out topped up to whole records, the caller's
    // whole records straight from its bytes; the rest waits for more.
    if (m_nData != 0) {
        const std::size_t nPart = m_nData % kRecordPayload;
        const std::size_t nFill = nPart == 0 ? 0 : kRecordPayload - nPart;
        std::memcpy(m_pData.get() + m_nData, pData, nFill);
        pData += nFill;
        nSize -= nFill;
        SendData(m_pData.get(), m_nData + nFill);
        m_nData = 0;
    }
    const std::size_t nWhole = nSize - nSize % kRecordPayload;
    if (nWhole > 0) {
        SendData(pData, nWhole);
    }
    std::memcpy(m_pData.get(), pData + nWhole, nSize - nWhole);
    m_nData = nSize - nWhole;
}

void TSMTPConnection::QueueFileLines(TAttachmentFile& file) {
    // Encoded in place, the text is never copied before it is sent; a full
    // buffer goes out as whole records, and the part of a record behind
    // them moves to the front.
    while (!file.AtEnd()) {
        if (kGatherSize - m_nData < TAttachmentFile::LINE_ROOM) {
            const std::size_t nWhole = m_nData - m_nData % kRecordPayload;
            SendData(m_pData.get(), nWhole);
            std::memmove(m_pData.get(), m_pData.get() + nWhole, m_nData - nWhole);
            m_nData -= nWhole;
        }
        std::size_t nWritten = 0;
        if (!file.ReadLines(m_pData.get() + m_nData, kGatherSize - m_nData, nWritten)) {
            throw TSMTPException(3, u"Getting body content failed!");
        }
        m_nData += nWritten;
    }
}

std::u16string TSMTPConnection::RcptCommand(const TSMTPAddress& recipient) const {
    if (recipient.m_sEmailAddress.empty()) {
        Warn(u"Proper e-mail address must be specified for this recipient.");
    }
    std::u16string sCommand = u"RCPT TO:<" + recipient.m_sEmailAddress + u">";
    if (m_bServerDSN && (m_bNotifySuccess || m_bNotifyFailure)) {
        sCommand += u" NOTIFY=";
        if (m_bNotifySuccess) {
            sCommand += u"SUCCESS";
        }
        if (m_bNotifyFailure) {
            if (m_bNotifySuccess) {
                sCommand += u",";
            }
            sCommand += u"FAILURE";
        }
    }
    return sCommand + u"\r\n";
}

void TSMTPConnection::SendRCPTForRecipient(const TSMTPAddress& recipient) {
    TFunctionTrace trace(u"TSMTPConnection::SendRCPTForRecipient");
    try {
        SendCommand(RcptCommand(recipient));
        std::u16string sResponse;
        if (!ReadCommandResponse(250, sResponse)) {
            throw TSMTPException(3, u"Unexpected RCPT TO response!. Last Response : %s",
                                 sResponse.c_str());
        }
        ++m_nAcceptedRecipients;
    } catch (const TSMTPException& e) {
        DiagPrint(u"%s", e.GetErrorText().c_str());
        throw;
    }
}

void TSMTPConnection::ResetTransaction() {
    SendCommand(std::string("RSET\r\n"));
    std::u16string sResponse;
    if (!ReadCommandResponse(250, sResponse)) {
        // A server that cannot forget the last transaction may mix it into this one.
        m_bInDoubt = true;
        throw TSMTPException(3, u"Unexpected RSET response!. Last Response : %s",
                             sResponse.c_str());
    }
}

void TSMTPConnection::SendEnvelopePipelined(const std::u16string& sMailFrom, TSMTPMessage& message,
                                            bool bReset) {
    TFunctionTrace trace(u"TSMTPConnection::SendEnvelopePipelined");
    const std::vector<const TSMTPAddress*> recipients = EnvelopeRecipients(message);
    std::u16string sGroup = bReset ? u"RSET\r\n" + sMailFrom : sMailFrom;
    for (const TSMTPAddress* pRecipient : recipients)
        sGroup += RcptCommand(*pRecipient);
    SendCommand(sGroup);

    // Every reply is read before the first refusal is reported, so that the
    // next transaction finds none of them; one that announces the close
    // ends the reading, as nothing more comes.
    m_bSplitReplies = true;
    struct SplitGuard {
        bool& bSplit;
        ~SplitGuard() { bSplit = false; }
    } guard{m_bSplitReplies};
    std::u16string sRefusal;
    const char16_t* pszRefusal = nullptr;
    auto read = [&](const char16_t* pszVerb, const char16_t* pszText) {
        m_strCommand = pszVerb;
        std::u16string sResponse;
        const bool bAccepted = ReadCommandResponse(250, sResponse);
        if (!bAccepted && pszRefusal == nullptr) {
            pszRefusal = pszText;
            sRefusal = sResponse;
        }
        if (m_bServerClosed || (m_bInDoubt && !bAccepted))
            throw TSMTPException(3, pszText, sResponse.c_str());
        return bAccepted;
    };
    if (bReset && !read(u"RSET", u"Unexpected RSET response!. Last Response : %s"))
        m_bInDoubt = true;
    read(u"MAIL FROM", u"Unexpected MAIL FROM response!. Last Response : %s");
    for (std::size_t i = 0; i < recipients.size(); ++i) {
        if (read(u"RCPT TO", u"Unexpected RCPT TO response!. Last Response : %s"))
            ++m_nAcceptedRecipients;
    }
    if (!m_strPendingReplies.empty()) {
        // More replies than commands: which one answers what is unknown.
        m_bInDoubt = true;
        throw TSMTPException(3, u"The server sent more replies than commands: %s",
                             m_strPendingReplies.c_str());
    }
    if (pszRefusal != nullptr)
        throw TSMTPException(3, pszRefusal, sRefusal.c_str());
}

void TSMTPConnection::SendBodyPart(TSMTPBodyPart* pPart, bool bIsRoot) {
    TFunctionTrace trace(u"TSMTPConnection::SendBodyPart");
    try {
        if (pPart == nullptr) {
            throw TSMTPException(3, u"NULL body part!");
        }
        // An attachment's file is opened and checked before any byte of its
        // part goes out, then read block by block: the whole file is never
        // held, and a failure leaves no half part behind a complete header.
        TAttachmentFile file;
        const bool bAttachment = !pPart->m_sFilename.empty();
        if (bAttachment && !file.Open(pPart->m_sFilename, pPart->m_dwMaxAttachmentSize)) {
            if (platform::GetLastError() == ERROR_FILE_TOO_LARGE) {
                throw TSMTPException(3, u"The attachment is larger than %u bytes.",
                                     static_cast<unsigned>(pPart->m_dwMaxAttachmentSize));
            }
            throw TSMTPException(3, u"Getting body content failed!");
        }
        // The root's header lines are part of the message header block.
        if (!bIsRoot) {
            PartBlock header(&TSMTPBodyPart::FreeHeader);
            if (!pPart->GetHeader(header.m_pBuffer, header.m_dwSize)) {
                throw TSMTPException(3, u"Getting body header failed!");
            }
            QueueData(header.m_pBuffer, header.m_dwSize);
        }

        if (bAttachment) {
            QueueFileLines(file);
        } else {
            PartBlock body(&TSMTPBodyPart::FreeBody);
            if (!pPart->GetBody(body.m_pBuffer, body.m_dwSize)) {
                throw TSMTPException(3, u"Getting body content failed!");
            }
            QueueData(body.m_pBuffer, body.m_dwSize);
        }

        const int nChildren = pPart->GetNumberOfChildBodyParts();
        for (int i = 0; i < nChildren; ++i) {
            SendBodyPart(pPart->GetChildBodyPart(i), false);
        }

        if (nChildren > 0) {
            PartBlock footer(&TSMTPBodyPart::FreeFooter);
            if (!pPart->GetFooter(footer.m_pBuffer, footer.m_dwSize)) {
                throw TSMTPException(3, u"Getting body footer failed!");
            }
            QueueData(footer.m_pBuffer, footer.m_dwSize);
        }
    } catch (const TSMTPException& e) {
        DiagPrint(u"%s", e.GetErrorText().c_str());
        throw;
    }
}
