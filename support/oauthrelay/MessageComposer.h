// Composes the Internet message that OAuthRelay submits: header block,
// a text or HTML body in quoted-printable, and Base64 attachments in a
// multipart/mixed container. Bcc recipients never appear in it.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "RelayLists.h"

namespace oauthrelay {

struct RelayAttachment {
    std::string strName;         // file name as the recipient sees it, UTF-8
    std::string strContentType;  // media type
    std::string sData;           // file contents
};

struct RelayMessage {
    MailAddress From;
    std::vector<MailAddress> To;
    std::vector<MailAddress> Cc;
    std::string strSubject;  // UTF-8
    std::u16string sBody;
    bool bHtml = false;
    int nPriority = 0;  // 1 low, 2 normal, 3 high, anything else: no priority headers
    std::string strCharset;
    std::vector<std::string> CustomHeaders;  // complete lines "Name: value"
    std::vector<RelayAttachment> Attachments;
};

// What makes one message unique; separate so that tests can fix it.
struct MessageStamp {
    std::string strDate;       // RFC 5322 date-time
    std::string strMessageId;  // with its angle brackets
    std::string strBoundary;   // multipart boundary
};

// Date, Message-ID (a fresh UUID, "@", the sender's domain or, when the sender
// has none, this machine's name) and a boundary for a message composed now.
MessageStamp NewMessageStamp(std::string_view senderAddress);

// "Tue, 06 Dec 2022 19:42:07 +0100" for a broken-down local time and its
// offset from UTC in seconds.
std::string FormatMailDate(const std::tm& localTime, long nOffsetSeconds);

// The whole message, CRLF line ends, ending with CRLF, before dot-stuffing.
// Throws RelayError for a custom header line that is malformed, carries a line
// break, or names a header the other arguments own (From, To, Subject, ...).
std::string ComposeMessage(const RelayMessage& message, const MessageStamp& stamp);

}  // namespace oauthrelay
