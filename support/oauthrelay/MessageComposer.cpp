#include "MessageComposer.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <random>

#include "MimeEncoding.h"
#include "RelayError.h"
#include "RelayPlatform.h"
#include "TextConvert.h"

namespace oauthrelay {

namespace {

constexpr size_t kFoldAt = 78;
constexpr size_t kLineLimit = 998;

std::string RandomHex(size_t nBytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::random_device source;
    std::string out;
    out.reserve(nBytes * 2);
    for (size_t i = 0; i < nBytes; ++i) {
        const unsigned b = source() & 0xFF;
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

// A random (version 4) UUID in its usual form: hexadecimal digits and hyphens,
// all of them characters an atom may hold.
std::string NewUuid() {
    static constexpr char kHex[] = "0123456789abcdef";
    std::random_device source;
    std::array<unsigned, 16> bytes{};
    for (unsigned& b : bytes) {
        b = source() & 0xFF;
    }
    bytes[6] = (bytes[6] & 0x0F) | 0x40;  // version 4
    bytes[8] = (bytes[8] & 0x3F) | 0x80;  // RFC 4122 variant
    std::string out;
    out.reserve(36);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            out += '-';
        }
        out += kHex[bytes[i] >> 4];
        out += kHex[bytes[i] & 15];
    }
    return out;
}

// A dot-atom ("example.com") or a domain literal ("[192.0.2.1]"): what may
// stand right of the "@" of a Message-ID.
bool IsMessageIdDomain(std::string_view text) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
        for (char c : text.substr(1, text.size() - 2)) {
            const auto b = static_cast<unsigned char>(c);
            if (b < 33 || b > 126 || c == '[' || c == ']' || c == '\\') {
                return false;
            }
        }
        return true;
    }
    if (text.empty() || text.front() == '.' || text.back() == '.' ||
        text.find("..") != std::string_view::npos) {
        return false;
    }
    for (char c : text) {
        const bool alnum =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum && std::string_view(".!#$%&'*+-/=?^_`{|}~").find(c) == std::string_view::npos) {
            return false;
        }
    }
    return true;
}

// A mailbox for a header line on which nColumn characters come before it and
// nAfter follow it (the "," of a list). A long display name is folded; the
// address starts a folded line of its own when it would take the line of a
// folded or encoded name past column 76.
std::string FormatAddress(const MailAddress& address, size_t nColumn, size_t nAfter) {
    if (address.strName.empty()) {
        return address.strAddress;
    }
    const std::string name = EncodeDisplayName(address.strName, nColumn);
    const size_t end = EndColumn(name, nColumn);
    const size_t tail = address.strAddress.size() + 3 + nAfter;
    const bool encoded =
        name.find('\n') != std::string::npos || name.find("=?utf-8?B?") != std::string::npos;
    const bool fold = (encoded && end + tail > 76) || end + tail > kLineLimit;
    return name + (fold ? "\r\n <" : " <") + address.strAddress + ">";
}

// "To: a, b, c" folded after a comma where the line would pass 78 characters.
std::string AddressHeader(std::string_view name, const std::vector<MailAddress>& list) {
    std::string out(name);
    out += ": ";
    size_t used = out.size();
    for (size_t i = 0; i < list.size(); ++i) {
        const size_t after = i + 1 < list.size() ? 1 : 0;
        std::string item = FormatAddress(list[i], i == 0 ? used : used + 2, after);
        if (i != 0) {
            out += ',';
            ++used;
            const size_t firstLine = std::min(item.find("\r\n"), item.size());
            if (firstLine == 0) {
                // A long name that starts a folded line of its own.
            } else if (used + 1 + firstLine > kFoldAt) {
                out += "\r\n ";
                used = 1;
                item = FormatAddress(list[i], used, after);
            } else {
                out += ' ';
                ++used;
            }
        }
        out += item;
        used = EndColumn(item, used);
    }
    out += "\r\n";
    return out;
}

struct HeaderLine {
    std::string strName;
    std::string strValue;
};

// Headers that the other arguments of the call produce, which a custom line may
// therefore not repeat.
bool IsOwnedHeader(const std::string& lowerName) {
    static constexpr std::array<std::string_view, 9> kOwned = {"from",
                                                               "to",
                                                               "cc",
                                                               "bcc",
                                                               "subject",
                                                               "mime-version",
                                                               "content-type",
                                                               "content-transfer-encoding",
                                                               "content-disposition"};
    for (std::string_view owned : kOwned) {
        if (lowerName == owned) {
            return true;
        }
    }
    return false;
}

HeaderLine ParseCustomHeader(const std::string& line) {
    if (line.find('\r') != std::string::npos || line.find('\n') != std::string::npos) {
        throw RelayError("The custom header \"" + line + "\" contains a line break.");
    }
    const size_t colon = line.find(':');
    bool nameOk = colon != std::string::npos && colon != 0;
    for (size_t i = 0; nameOk && i < colon; ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        nameOk = c >= 33 && c <= 126;
    }
    if (!nameOk) {
        throw RelayError("The custom header \"" + line +
                         "\" is not a header line of the form \"Name: value\".");
    }
    HeaderLine header{line.substr(0, colon), Trim(std::string_view(line).substr(colon + 1))};
    if (IsOwnedHeader(AsciiLower(header.strName))) {
        throw RelayError("The custom header \"" + line + "\" cannot be used: the " +
                         header.strName + " header comes from the message itself.");
    }
    return header;
}

bool HasCustom(const std::vector<HeaderLine>& custom, std::string_view lowerName) {
    for (const HeaderLine& h : custom) {
        if (AsciiLower(h.strName) == lowerName) {
            return true;
        }
    }
    return false;
}

std::string TextPart(const RelayMessage& message) {
    std::string charset;
    const std::string bytes = EncodeCharset(message.sBody, message.strCharset, charset);
    std::string out = "Content-Type: ";
    out += message.bHtml ? "text/html" : "text/plain";
    out += "; charset=" + charset + "\r\n";
    out += "Content-Transfer-Encoding: quoted-printable\r\n";
    out += "\r\n";
    out += EncodeQuotedPrintable(NormalizeLineEnds(bytes));
    return out;
}

// Whether the bytes are UTF-8 with at least one character beyond ASCII.
bool IsUtf8Text(std::string_view data) {
    if (IsAscii(data)) {
        return false;
    }
    return Utf16ToUtf8(Utf8ToUtf16(data)) == data;
}

void AppendAttachmentPart(std::string& out, const RelayAttachment& attachment) {
    out += "Content-Type: " + attachment.strContentType;
    // A text file in UTF-8 says so; readers would take it for US-ASCII.
    if (attachment.strContentType.compare(0, 5, "text/") == 0 && IsUtf8Text(attachment.sData)) {
        out += "; charset=utf-8";
    }
    out += ";\r\n\t" + NameParameter(attachment.strName);
    out += "\r\nContent-Transfer-Encoding: base64\r\n";
    out += "Content-Disposition: attachment;\r\n\t" +
           EncodeParameter("filename", attachment.strName) + "\r\n";
    out += "\r\n";
    AppendBase64(out, attachment.sData, 76);
}

}  // namespace

std::string FormatMailDate(const std::tm& localTime, long nOffsetSeconds) {
    static constexpr std::array<const char*, 7> kDays = {"Sun", "Mon", "Tue", "Wed",
                                                         "Thu", "Fri", "Sat"};
    static constexpr std::array<const char*, 12> kMonths = {
        "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const char sign = nOffsetSeconds < 0 ? '-' : '+';
    const long offset = (nOffsetSeconds < 0 ? -nOffsetSeconds : nOffsetSeconds) / 60;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                  kDays[static_cast<size_t>(localTime.tm_wday) % 7], localTime.tm_mday,
                  kMonths[static_cast<size_t>(localTime.tm_mon) % 12], localTime.tm_year + 1900,
                  localTime.tm_hour, localTime.tm_min, localTime.tm_sec, sign, offset / 60,
                  offset % 60);
    return buffer;
}

MessageStamp NewMessageStamp(std::string_view senderAddress) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    long offset = 0;
    LocalTime(now, local, offset);

    // The sender's domain, or this machine's name when the sender has none
    // that can stand in a Message-ID.
    const size_t at = senderAddress.rfind('@');
    std::string domain(at == std::string_view::npos ? "" : senderAddress.substr(at + 1));
    if (!IsMessageIdDomain(domain)) {
        domain = LocalHostName();
        if (!IsMessageIdDomain(domain)) {
            domain = "localhost";
        }
    }
    MessageStamp stamp;
    stamp.strDate = FormatMailDate(local, offset);
    stamp.strMessageId = "<" + NewUuid() + "@" + domain + ">";
    stamp.strBoundary = "=_OAuthRelay_" + RandomHex(16);
    return stamp;
}

std::string ComposeMessage(const RelayMessage& message, const MessageStamp& stamp) {
    std::vector<HeaderLine> custom;
    custom.reserve(message.CustomHeaders.size());
    for (const std::string& line : message.CustomHeaders) {
        custom.push_back(ParseCustomHeader(line));
    }

    // One allocation for the whole message: attachments may be tens of
    // megabytes, and a growing string would briefly hold two copies.
    size_t estimate = 4096 + message.sBody.size() * 9 + message.strSubject.size() * 3;
    for (const RelayAttachment& attachment : message.Attachments) {
        estimate +=
            1024 + attachment.strName.size() * 6 + Base64Length(attachment.sData.size(), 76);
    }
    std::string out;
    out.reserve(estimate);
    if (!HasCustom(custom, "date")) {
        out += "Date: " + stamp.strDate + "\r\n";
    }
    if (!HasCustom(custom, "message-id")) {
        out += "Message-ID: " + stamp.strMessageId + "\r\n";
    }
    out += AddressHeader("From", {message.From});
    if (!message.To.empty()) {
        out += AddressHeader("To", message.To);
    } else if (message.Cc.empty()) {
        // Bcc recipients alone: the hidden group (RFC 5322), not an empty To.
        out += "To: undisclosed-recipients:;\r\n";
    }
    if (!message.Cc.empty()) {
        out += AddressHeader("Cc", message.Cc);
    }
    if (!message.strSubject.empty()) {
        out += "Subject: " + EncodeHeaderText(message.strSubject, 9) + "\r\n";
    }
    if (message.nPriority >= 1 && message.nPriority <= 3 && !HasCustom(custom, "x-priority") &&
        !HasCustom(custom, "importance")) {
        static constexpr std::array<const char*, 3> kXPriority = {"5 (Lowest)", "3 (Normal)",
                                                                  "1 (Highest)"};
        static constexpr std::array<const char*, 3> kImportance = {"Low", "Normal", "High"};
        const auto i = static_cast<size_t>(message.nPriority - 1);
        out += std::string("X-Priority: ") + kXPriority[i] + "\r\n";
        out += std::string("Importance: ") + kImportance[i] + "\r\n";
    }
    for (const HeaderLine& h : custom) {
        // A value that starts a folded line of its own needs no blank before it.
        const std::string value = EncodeHeaderText(h.strValue, h.strName.size() + 2);
        out += h.strName + (value.compare(0, 2, "\r\n") == 0 ? ":" : ": ") + value + "\r\n";
    }
    out += "MIME-Version: 1.0\r\n";

    if (message.Attachments.empty()) {
        out += TextPart(message);
        // The message must end with a line break. A soft line break keeps a
        // body that has none from gaining one.
        if (out.size() >= 2 && out.compare(out.size() - 2, 2, "\r\n") != 0) {
            out += "=\r\n";
        }
    } else {
        const std::string delimiter = "\r\n--" + stamp.strBoundary;
        out += "Content-Type: multipart/mixed;\r\n\tboundary=\"" + stamp.strBoundary + "\"\r\n";
        out += "\r\nThis is a multi-part message in MIME format.\r\n";
        out += delimiter + "\r\n";
        out += TextPart(message);
        for (const RelayAttachment& attachment : message.Attachments) {
            out += delimiter + "\r\n";
            AppendAttachmentPart(out, attachment);
        }
        out += delimiter + "--";
    }
    if (out.size() < 2 || out.compare(out.size() - 2, 2, "\r\n") != 0) {
        out += "\r\n";
    }
    return out;
}

}  // namespace oauthrelay
