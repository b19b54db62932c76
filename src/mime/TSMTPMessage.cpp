#include "mime/TSMTPMessage.h"

#include <algorithm>
#include <cstring>

#include "diag/FunctionTrace.h"
#include "platform/MediaTypes.h"
#include "platform/Sockets.h"
#include "platform/TimeZone.h"
#include "platform/Uuid.h"
#include "vxutil.h"

namespace {

const char16_t* const kPreamble = u"This is a multi-part message in MIME format";
const char16_t* const kMixed = u"multipart/mixed";

std::string Utf8(const std::u16string& s) {
    std::string out;
    strWideToAnsi(out, s.c_str(), static_cast<int>(s.size()), CP_UTF8, false);
    return out;
}

// The root of a MIME message: the preamble for readers without MIME, the
// parts as its children.
void MakeMixedRoot(TSMTPBodyPart& root) {
    root.SetText(kPreamble);
    root.m_sContentType = kMixed;
}

// A new text part in the root's charset, as the root's last child.
void AddTextPart(TSMTPBodyPart& root, const std::u16string& sText, const char16_t* pszType,
                 const std::u16string& sContentBase) {
    MakeMixedRoot(root);
    TSMTPBodyPart part;
    part.m_sCharset = root.m_sCharset;
    part.SetText(sText);
    part.m_sContentType = pszType;
    part.m_sContentBase = sContentBase;
    root.AddChildBodyPart(part);
}

std::u16string NewUuidText() {
    platform::UUID uuid{};
    platform::UuidCreate(&uuid);
    return platform::UuidToStringW(uuid);
}

void DeleteAll(std::vector<TSMTPAddress*>& list) {
    for (TSMTPAddress* a : list)
        delete a;
    list.clear();
}

}  // namespace

TSMTPMessage::TSMTPMessage()
    : m_sXMailer(u"CRelaySMTPConnection v2.49"),
      m_Priority(0),
      m_bMime(0),
      m_sMessageIdLeft(NewUuidText()) {
    TFunctionTrace trace(u"TSMTPMessage::TSMTPMessage");
}

TSMTPMessage::~TSMTPMessage() {
    TFunctionTrace trace(u"TSMTPMessage::~TSMTPMessage");
    DeleteAll(m_ToRecipients);
    DeleteAll(m_CCRecipients);
    DeleteAll(m_BCCRecipients);
}

int TSMTPMessage::AddRecipient(const TSMTPAddress& recipient, int nKind) {
    TFunctionTrace trace(u"TSMTPMessage::AddRecipient");
    std::vector<TSMTPAddress*>* list = nKind == TO    ? &m_ToRecipients
                                       : nKind == CC  ? &m_CCRecipients
                                       : nKind == BCC ? &m_BCCRecipients
                                                      : nullptr;
    if (list == nullptr)
        return -1;
    list->push_back(new TSMTPAddress(recipient));
    return static_cast<int>(list->size());
}

int TSMTPMessage::GetNumberOfRecipients(int nKind) const {
    TFunctionTrace trace(u"TSMTPMessage::GetNumberOfRecipients");
    switch (nKind) {
        case TO:
            return static_cast<int>(m_ToRecipients.size());
        case CC:
            return static_cast<int>(m_CCRecipients.size());
        case BCC:
            return static_cast<int>(m_BCCRecipients.size());
        default:
            return 0;
    }
}

TSMTPAddress* TSMTPMessage::GetRecipient(int nIndex, int nKind) const {
    TFunctionTrace trace(u"TSMTPMessage::GetRecipient");
    const std::vector<TSMTPAddress*>* list = nKind == TO    ? &m_ToRecipients
                                             : nKind == CC  ? &m_CCRecipients
                                             : nKind == BCC ? &m_BCCRecipients
                                                            : nullptr;
    if (list == nullptr || nIndex < 0 || nIndex >= static_cast<int>(list->size()))
        return nullptr;
    return (*list)[static_cast<size_t>(nIndex)];
}

const std::u16string* TSMTPMessage::FindInternationalAddress() const {
    TFunctionTrace trace(u"TSMTPMessage::FindInternationalAddress");
    const auto international = [](const TSMTPAddress* pAddress) {
        return pAddress != nullptr &&
               std::any_of(pAddress->m_sEmailAddress.begin(), pAddress->m_sEmailAddress.end(),
                           [](char16_t c) { return c >= 0x80; });
    };
    if (international(&m_From))
        return &m_From.m_sEmailAddress;
    for (const auto* list : {&m_ToRecipients, &m_CCRecipients, &m_BCCRecipients}) {
        const auto it = std::find_if(list->begin(), list->end(), international);
        if (it != list->end())
            return &(*it)->m_sEmailAddress;
    }
    return nullptr;
}

void TSMTPMessage::AddCustomHeader(const std::u16string& sHeader) {
    TFunctionTrace trace(u"TSMTPMessage::AddCustomHeader");
    m_CustomHeaders.push_back(sHeader);
}

std::u16string TSMTPMessage::GetCustomHeader(int nIndex) const {
    TFunctionTrace trace(u"TSMTPMessage::GetCustomHeader");
    if (nIndex < 0 || nIndex >= static_cast<int>(m_CustomHeaders.size()))
        return std::u16string();
    return m_CustomHeaders[static_cast<size_t>(nIndex)];
}

int TSMTPMessage::GetNumberOfCustomHeaders() const {
    TFunctionTrace trace(u"TSMTPMessage::GetNumberOfCustomHeaders");
    return static_cast<int>(m_CustomHeaders.size());
}

void TSMTPMessage::SetCharset(const std::u16string& sCharset) {
    TFunctionTrace trace(u"TSMTPMessage::SetCharset");
    m_RootPart.m_sCharset = sCharset;
}

void TSMTPMessage::SetMime(bool bMime) {
    TFunctionTrace trace(u"TSMTPMessage::SetMime");
    if ((m_bMime != 0) == bMime)
        return;
    m_bMime = bMime ? 1 : 0;
    while (m_RootPart.GetNumberOfChildBodyParts() > 0)
        m_RootPart.RemoveChildBodyPart(0);
    if (bMime) {
        std::u16string text = m_RootPart.GetText();
        MakeMixedRoot(m_RootPart);
        if (!text.empty())
            AddTextBody(text);
    }
}

void TSMTPMessage::AddTextBody(const std::u16string& sText) {
    TFunctionTrace trace(u"TSMTPMessage::AddTextBody");
    if (!m_bMime) {
        m_RootPart.SetText(sText);
        return;
    }
    if (TSMTPBodyPart* part = m_RootPart.FindFirstBodyPart(u"text/plain")) {
        part->SetText(sText);
        return;
    }
    AddTextPart(m_RootPart, sText, u"text/plain", u"");
}

void TSMTPMessage::AddHTMLBody(const std::u16string& sHtml, const std::u16string& sContentBase) {
    TFunctionTrace trace(u"TSMTPMessage::AddHTMLBody");
    if (TSMTPBodyPart* part = m_RootPart.FindFirstBodyPart(u"text/html")) {
        part->SetText(sHtml);
        part->m_sContentType = u"text/html";
        return;
    }
    AddTextPart(m_RootPart, sHtml, u"text/html", sContentBase);
}

int TSMTPMessage::AddBodyPart(const TSMTPBodyPart& part) {
    TFunctionTrace trace(u"TSMTPMessage::AddBodyPart");
    SetMime(true);
    return m_RootPart.AddChildBodyPart(part);
}

int TSMTPMessage::AddMultipleAttachments(const MAILATTACHMENT* pAttachments, int nCount) {
    int nAdded = 0;
    TFunctionTrace trace(u"TSMTPMessage::AddMultipleAttachments");
    trace.Bind(&nAdded);
    if (pAttachments == nullptr)
        return nAdded;
    for (int i = 0; i < nCount; ++i) {
        const MAILATTACHMENT& a = pAttachments[i];
        if (a.pszPath == nullptr)
            continue;
        TSMTPBodyPart part;
        part.m_sCharset = m_RootPart.m_sCharset;
        part.SetFilename(reinterpret_cast<const char16_t*>(a.pszPath));
        if (a.pszName != nullptr) {
            // The name the recipient sees decides the type, unless its
            // extension says nothing and the file's does.
            part.m_sTitle = reinterpret_cast<const char16_t*>(a.pszName);
            const std::string type = platform::MediaTypeOfFile(part.m_sTitle);
            if (type != "application/octet-stream")
                part.m_sContentType = std::u16string(type.begin(), type.end());
        }
        AddBodyPart(part);
        ++nAdded;
    }
    return nAdded;
}

std::u16string TSMTPMessage::GetTextBody() const {
    TFunctionTrace trace(u"TSMTPMessage::GetTextBody");
    return m_RootPart.GetText();
}

std::u16string TSMTPMessage::GetHTMLBody() const {
    TFunctionTrace trace(u"TSMTPMessage::GetHTMLBody");
    if (m_RootPart.GetNumberOfChildBodyParts() == 0)
        return std::u16string();
    TSMTPBodyPart* first = m_RootPart.GetChildBodyPart(0);
    return first->GetContentType() == u"text/html" ? first->GetText() : std::u16string();
}

namespace {

// RFC 5322 allows no header line longer than this.
constexpr size_t kLineLimit = 998;

// The column after text that starts at nColumn: the length of its last line.
size_t EndColumn(const std::string& text, size_t nColumn) {
    const size_t lf = text.rfind('\n');
    return lf == std::string::npos ? nColumn + text.size() : text.size() - lf - 1;
}

// "," before every record but the first, a folded line before the even ones.
// A record whose long name starts a folded line of its own follows the ","
// directly, and one that would take its line past 998 characters starts one.
std::string AddressList(const std::vector<TSMTPAddress*>& list, const std::u16string& sCharset,
                        size_t nColumn) {
    std::string out;
    size_t column = nColumn;
    for (size_t i = 0; i < list.size(); ++i) {
        const size_t after = i + 1 < list.size() ? 1 : 0;
        const char* separator = i == 0 ? "" : i % 2 == 0 ? ",\r\n " : ", ";
        size_t start = i > 0 && i % 2 == 0 ? 1 : column + std::strlen(separator);
        std::string record = Utf8(list[i]->GetRegularFormat(true, sCharset, start, after));
        if (i > 0 && record.compare(0, 2, "\r\n") == 0) {
            separator = ",";
        } else if (i > 0 && start > 1 &&
                   start + std::min(record.find('\r'), record.size()) + after > kLineLimit) {
            separator = ",\r\n ";
            start = 1;
            record = Utf8(list[i]->GetRegularFormat(true, sCharset, start, after));
        }
        out += separator;
        out += record;
        column = EndColumn(record, start);
    }
    return out;
}

// The column at the end of the text: the length of its last line.
size_t LineColumn(const std::string& text) {
    return EndColumn(text, 0);
}

// The characters RFC 5322 allows in an atom.
bool IsAtext(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr("!#$%&'*+-/=?^_`{|}~", c) != nullptr;
}

// A dot-atom ("example.com") or a domain literal ("[192.0.2.1]"): what may
// stand right of the "@" of a Message-ID.
bool IsMessageIdDomain(const std::string& text) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
        for (size_t i = 1; i + 1 < text.size(); ++i) {
            const auto c = static_cast<unsigned char>(text[i]);
            if (c < 33 || c > 126 || c == '[' || c == ']' || c == '\\')
                return false;
        }
        return true;
    }
    if (text.empty() || text.front() == '.' || text.back() == '.' ||
        text.find("..") != std::string::npos)
        return false;
    for (char c : text) {
        if (c != '.' && (c == '\0' || !IsAtext(c)))
            return false;
    }
    return true;
}

// The sender's domain; the local host name when the sender has none (or one
// that cannot stand in a Message-ID), so that the identifier is well-formed
// either way.
std::string MessageIdDomain(const std::u16string& sSender) {
    const size_t at = sSender.rfind(u'@');
    if (at != std::u16string::npos) {
        const std::string domain = Utf8(sSender.substr(at + 1));
        if (IsMessageIdDomain(domain))
            return domain;
    }
    char szName[256] = {};
    if (platform::gethostname(szName, sizeof szName) == 0 && IsMessageIdDomain(szName))
        return szName;
    return "localhost";
}

// Whether one of the custom lines is a header of that name; names compare
// without regard to case, as header names do.
bool HasCustomHeader(const std::vector<std::u16string>& lines, const std::u16string& sName) {
    for (const std::u16string& line : lines) {
        size_t end = line.find(u':');
        if (end == std::u16string::npos)
            continue;
        while (end > 0 && (line[end - 1] == u' ' || line[end - 1] == u'\t'))
            --end;
        if (end != sName.size())
            continue;
        bool bSame = true;
        for (size_t i = 0; i < end && bSame; ++i) {
            auto lower = [](char16_t c) {
                return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
            };
            bSame = lower(line[i]) == lower(sName[i]);
        }
        if (bSame)
            return true;
    }
    return false;
}

// The minutes to add to local time for UTC, by the system's answer: in
// daylight or standard time the bias with that time's own, in a zone without
// daylight saving the bias alone (its standard bias counts only with a date
// to switch on). False when the system has no answer.
bool CurrentBias(LONG& nBias) {
    platform::TIME_ZONE_INFORMATION tz{};
    switch (platform::GetTimeZoneInformation(&tz)) {
        case TIME_ZONE_ID_DAYLIGHT:
            nBias = tz.Bias + tz.DaylightBias;
            return true;
        case TIME_ZONE_ID_STANDARD:
            nBias = tz.Bias + tz.StandardBias;
            return true;
        case TIME_ZONE_ID_UNKNOWN:
            nBias = tz.Bias;
            return true;
        default:
            nBias = 0;
            return false;
    }
}

// "+" or "-" and the offset from UTC as hours and minutes: the bias counts
// minutes west of UTC, so a zone east of UTC has a negative bias and "+".
std::string ZoneText(LONG bias) {
    LONG magnitude = bias < 0 ? -bias : bias;
    LONG hours = magnitude / 60 % 100;
    LONG minutes = magnitude % 60;
    std::string text(1, bias <= 0 ? '+' : '-');
    text.push_back(static_cast<char>('0' + hours / 10));
    text.push_back(static_cast<char>('0' + hours % 10));
    text.push_back(static_cast<char>('0' + minutes / 10));
    text.push_back(static_cast<char>('0' + minutes % 10));
    return text;
}

}  // namespace

std::string TSMTPMessage::getHeader() {
    std::string header;
    TFunctionTrace trace(u"TSMTPMessage::getHeader");
    trace.Bind(&header);
    const std::u16string& K = m_RootPart.m_sCharset;
    // English day and month names whatever the process locale is; the locale
    // of the process is left as it was. Without a zone the time is universal
    // time, and "-0000" says that the local zone is unknown (RFC 5322).
    LONG nBias = 0;
    const bool bZone = CurrentBias(nBias);
    std::string date = Utf8(platform::FormatTimeEnglish("%a, %d %b %Y %H:%M:%S ", nBias)) +
                       (bZone ? ZoneText(nBias) : std::string("-0000"));

    // Long names and subjects are folded, so each goes in at the column where
    // it starts.
    header = "From: ";
    header += Utf8(m_From.GetRegularFormat(true, K, LineColumn(header), 0));
    // An empty To line is no valid header: a message for Bcc recipients alone
    // names the hidden group (RFC 5322), and one with Cc needs no To line.
    if (!m_ToRecipients.empty()) {
        header += "\r\nTo: ";
        header += AddressList(m_ToRecipients, K, LineColumn(header)) + "\r\n";
    } else if (m_CCRecipients.empty()) {
        header += "\r\nTo: undisclosed-recipients:;\r\n";
    } else {
        header += "\r\n";
    }
    if (!m_CCRecipients.empty()) {
        header += "Cc: ";
        header += AddressList(m_CCRecipients, K, LineColumn(header)) + "\r\n";
    }
    header += "Subject: ";
    header += TSMTPBodyPart::HeaderEncode(m_sSubject, K, LineColumn(header));
    if (!m_sXMailer.empty())
        header += "\r\nX-Mailer: " + Utf8(m_sXMailer);
    header += "\r\n";
    // Every message is MIME, and its transfer encoding keeps it 7-bit. A
    // multipart body carries no transfer encoding of its own (RFC 2045, 6.4),
    // its parts do; a body without parts is text, encoded as a text part's.
    header += "MIME-Version: 1.0\r\nContent-Type: ";
    if (m_RootPart.GetNumberOfChildBodyParts() > 0) {
        header += Utf8(m_RootPart.m_sContentType) + "; boundary=\"" + Utf8(m_RootPart.m_sBoundary) +
                  "\"\r\n";
    } else {
        const std::u16string& type = m_RootPart.m_sContentType;
        header += (type.compare(0, 5, u"text/") == 0 ? Utf8(type) : "text/plain") +
                  ";\r\n\tcharset=" + Utf8(m_RootPart.TextCharset()) + "\r\n";
        if (m_RootPart.m_bBase64) {
            header += "Content-Transfer-Encoding: base64\r\n";
        } else if (m_RootPart.m_bQuotedPrintable) {
            header += "Content-Transfer-Encoding: quoted-printable\r\n";
        }
    }
    if (!m_ReplyTo.m_sEmailAddress.empty()) {
        header += "Reply-To: ";
        header += Utf8(m_ReplyTo.GetRegularFormat(true, K, LineColumn(header), 0)) + "\r\n";
    }
    header += "Date: " + date + "\r\n";
    // Large mailbox providers refuse mail without a Message-ID; a host that
    // sets its own keeps it.
    if (!HasCustomHeader(m_CustomHeaders, u"Message-ID")) {
        header += "Message-ID: <" + Utf8(m_sMessageIdLeft) + "@" +
                  MessageIdDomain(m_From.m_sEmailAddress) + ">\r\n";
    }
    switch (m_Priority) {
        case 1:
            header += "X-Priority: 5\r\n";
            break;
        case 2:
            header += "X-Priority: 3\r\n";
            break;
        case 3:
            header += "X-Priority: 1\r\n";
            break;
        default:
            break;
    }
    for (const std::u16string& line : m_CustomHeaders)
        header += Utf8(line) + "\r\n";
    // The session sends the block unchanged after DATA: a subject, name or
    // custom line that carries a line break followed by "." must not end the
    // data early. Well-formed blocks have no such line and stay as they are.
    TSMTPBodyPart::FixSingleDotA(header);
    return header;
}
