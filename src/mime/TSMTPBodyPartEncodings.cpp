// The text encodings of the MIME output: quoted-printable bodies, Q-encoded
// header words, the hexadecimal digits both share, and SMTP dot-stuffing.
#include <string>

#include "diag/FunctionTrace.h"
#include "mime/TSMTPBodyPart.h"
#include "vxutil.h"

char TSMTPBodyPart::HexDigit(int nDigit) {
    TFunctionTrace trace(u"TSMTPBodyPart::HexDigit");
    static const char kDigits[] = "0123456789ABCDEF";
    return kDigits[nDigit & 0x0F];
}

namespace {

bool IsLiteral(unsigned char b) {
    return (b >= 0x21 && b <= 0x3C) || (b >= 0x3E && b <= 0x7E) || b == '\r' || b == '\n' || b == '\t' ||
           b == ' ';
}

constexpr char kHex[] = "0123456789ABCDEF";

// The escape pass: every byte that may not stand for itself becomes "=XY".
std::string Escape(const std::string& text) {
    std::string escaped;
    size_t end = text.find('\0');
    if (end == std::string::npos) end = text.size();
    escaped.reserve(end + end / 8 + 16);
    for (size_t i = 0; i < end; ++i) {
        auto b = static_cast<unsigned char>(text[i]);
        if (IsLiteral(b)) {
            escaped.push_back(static_cast<char>(b));
        } else {
            escaped.push_back('=');
            escaped.push_back(kHex[b / 16]);
            escaped.push_back(kHex[b % 16]);
        }
    }
    return escaped;
}

}  // namespace

std::string TSMTPBodyPart::QuotedPrintableEncode(const std::string& sText) {
    TFunctionTrace trace(u"TSMTPBodyPart::QuotedPrintableEncode");
    const std::string e = Escape(sText);
    const size_t length = e.size();
    std::string out;
    out.reserve(length + length / 25 + 16);
    size_t start = 0;
    for (size_t i = 0; i < length; ++i) {
        char c = e[i];
        if (c == '\r' || c == '\n' || i == length - 1) {
            out.append(e, start, i - start + 1);
            start = i + 1;
            continue;
        }
        if (i - start <= 76) continue;
        // Search back from here for a blank, or for the end of an escape.
        size_t j = i;
        for (;;) {
            if (j > 1 && (e[j] == ' ' || e[j] == '\t' || e[j - 2] == '=')) break;
            --j;
            if (j == start) {
                j = start + 76;
                break;
            }
        }
        out.append(e, start, j - start + 1);
        out.append("=\r\n");
        start = j + 1;
        i = j;  // the loop's increment continues the walk at j + 1
    }
    return out;
}

std::string TSMTPBodyPart::QEncode(const char* pszText, const char* pszCharset) {
    TFunctionTrace trace(u"TSMTPBodyPart::QEncode");
    std::string text = pszText != nullptr ? pszText : "";
    bool bNeedsEncoding = false;
    for (char c : text) {
        if (static_cast<unsigned char>(c) > 0x7F) {
            bNeedsEncoding = true;
            break;
        }
    }
    if (!bNeedsEncoding) return text;
    std::string out = "=?";
    out.reserve(text.size() * 3 + 16);
    out += pszCharset != nullptr ? pszCharset : "";
    out += "?q?";
    for (char c : text) {
        auto b = static_cast<unsigned char>(c);
        if (b == ' ') {
            out.push_back('_');
        } else if (b > 0x7F || b == '=' || b == '?' || b == '_') {
            out.push_back('=');
            out.push_back(kHex[b / 16]);
            out.push_back(kHex[b % 16]);
        } else {
            out.push_back(static_cast<char>(b));
        }
    }
    out += "?=";
    return out;
}

std::string TSMTPBodyPart::HeaderEncode(const std::u16string& sValue, const std::u16string& sCharset) {
    TFunctionTrace trace(u"TSMTPBodyPart::HeaderEncode");
    std::string value;
    std::string charset;
    strWideToAnsi(value, sValue.c_str(), static_cast<int>(sValue.size()), CP_UTF8, false);
    strWideToAnsi(charset, sCharset.c_str(), static_cast<int>(sCharset.size()), CP_UTF8, false);
    return QEncode(value.c_str(), charset.c_str());
}

namespace {

// One more "." after every LF that a "." follows; built in one pass.
template <typename String>
void StuffDots(String& text) {
    using Char = typename String::value_type;
    size_t count = 0;
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] == Char('\n') && text[i + 1] == Char('.')) ++count;
    }
    if (count == 0) return;
    String out;
    out.reserve(text.size() + count);
    for (size_t i = 0; i < text.size(); ++i) {
        out.push_back(text[i]);
        if (text[i] == Char('\n') && i + 1 < text.size() && text[i + 1] == Char('.')) out.push_back(Char('.'));
    }
    text.swap(out);
}

}  // namespace

void TSMTPBodyPart::FixSingleDotT(std::u16string& sText) {
    TFunctionTrace trace(u"TSMTPBodyPart::FixSingleDotT");
    StuffDots(sText);
}

void TSMTPBodyPart::FixSingleDotA(std::string& sText) {
    TFunctionTrace trace(u"TSMTPBodyPart::FixSingleDotA");
    StuffDots(sText);
}
