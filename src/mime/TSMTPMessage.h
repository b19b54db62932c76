// One outgoing e-mail: sender, recipients by kind, subject, extra header
// lines, priority and the root of its body part tree.
#pragma once

#include <string>
#include <vector>

#include "mailapi.h"
#include "mime/TSMTPAddress.h"
#include "mime/TSMTPBodyPart.h"
#include "platform/WinTypes.h"

class TSMTPMessage {
public:
    enum RecipientKind { TO = 0, CC = 1, BCC = 2 };

    TSMTPMessage();
    virtual ~TSMTPMessage();
    TSMTPMessage(const TSMTPMessage&) = delete;
    TSMTPMessage& operator=(const TSMTPMessage&) = delete;

    // The header block as narrow UTF-8 text, ready for the wire.
    virtual std::string getHeader();

    int AddRecipient(const TSMTPAddress& recipient, int nKind);
    int GetNumberOfRecipients(int nKind) const;
    TSMTPAddress* GetRecipient(int nIndex, int nKind) const;
    // The first envelope address (the sender's, then the recipients' in the
    // order of RCPT TO) that holds a character outside ASCII, which only a
    // server that offers SMTPUTF8 takes (RFC 6531); null when there is none.
    const std::u16string* FindInternationalAddress() const;
    void AddCustomHeader(const std::u16string& sHeader);
    std::u16string GetCustomHeader(int nIndex) const;
    int GetNumberOfCustomHeaders() const;
    void SetCharset(const std::u16string& sCharset);
    void SetMime(bool bMime);
    void AddTextBody(const std::u16string& sText);
    void AddHTMLBody(const std::u16string& sHtml, const std::u16string& sContentBase);
    int AddBodyPart(const TSMTPBodyPart& part);
    int AddMultipleAttachments(const MAILATTACHMENT* pAttachments, int nCount);
    std::u16string GetTextBody() const;
    std::u16string GetHTMLBody() const;

    TSMTPAddress m_From;
    std::u16string m_sSubject;
    std::u16string m_sXMailer;
    TSMTPAddress m_ReplyTo;
    TSMTPBodyPart m_RootPart;
    int m_Priority;
    std::vector<std::u16string> m_CustomHeaders;
    BOOL m_bMime;
    std::vector<TSMTPAddress*> m_ToRecipients;
    std::vector<TSMTPAddress*> m_CCRecipients;
    std::vector<TSMTPAddress*> m_BCCRecipients;
    // The left part of the Message-ID, a fresh UUID: one identity per
    // message, however often its header block is written.
    std::u16string m_sMessageIdLeft;
};
