// The text encodings of the MIME output: quoted-printable bodies, Q-encoded
// header words, the hexadecimal digits both share, and SMTP dot-stuffing.
// Each works on a whole buffer in one or two linear passes.
#include <array>
#include <cstring>
#include <string>

#include "diag/FunctionTrace.h"
#include "mime/TSMTPBodyPart.h"
#include "vxutil.h"

namespace {

// The digits of HexDigit; the encoders index it directly, since a traced call
// per byte would cost more than the encoding itself.
constexpr char kHex[] = "0123456789ABCDEF";

// Bytes that stand for themselves in quoted-printable text.
constexpr std::array<bool, 256> kLiteral = [] {
    std::array<bool, 256> table{};
    for (int b = 0; b < 256; ++b) {
        table[static_cast<size_t>(b)] = (b >= 0x21 && b <= 0x3C) || (b >= 0x3E && b <= 0x7E) ||
                                        b == '\r' || b == '\n' || b == '\t' || b == ' ';
    }
    return table;
}();

// The escape pass: every byte that may not stand for itself becomes "=XY".
// The text ends at its first NUL.
std::string Escape(const std::string& text) {
    size_t end = text.find('\0');
    if (end == std::string::npos)
        end = text.size();
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    size_t escapes = 0;
    for (size_t i = 0; i < end; ++i)
        escapes += kLiteral[in[i]] ? 0 : 1;
    std::string escaped(end + 2 * escapes, '\0');
    char* p = escaped.data();
    for (size_t i = 0; i < end; ++i) {
        const unsigned char b = in[i];
        if (kLiteral[b]) {
            *p++ = static_cast<char>(b);
        } else {
            p[0] = '=';
            p[1] = kHex[b >> 4];
            p[2] = kHex[b & 0x0F];
            p += 3;
        }
    }
    return escaped;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// One more "." after every LF that a "." follows, and with bLineStart also
// before a "." that starts the text. Counts first, then builds the result in
// one block.
void StuffDots(std::string& text, bool bLineStart) {
    size_t count = bLineStart && !text.empty() && text[0] == '.' ? 1 : 0;
    for (size_t lf = text.find('\n'); lf != std::string::npos; lf = text.find('\n', lf + 1)) {
        if (lf + 1 < text.size() && text[lf + 1] == '.')
            ++count;
    }
    if (count == 0)
        return;
    std::string out;
    out.reserve(text.size() + count);
    size_t from = 0;
    if (bLineStart && text[0] == '.')
        out.push_back('.');
    for (size_t lf = text.find('\n'); lf != std::string::npos; lf = text.find('\n', lf + 1)) {
        if (lf + 1 < text.size() && text[lf + 1] == '.') {
            out.append(text, from, lf + 1 - from);
            out.push_back('.');
            from = lf + 1;
        }
    }
    out.append(text, from, std::string::npos);
    text.swap(out);
}

}  // namespace

char TSMTPBodyPart::HexDigit(int nDigit) {
    TFunctionTrace trace(u"TSMTPBodyPart::HexDigit");
    return kHex[nDigit & 0x0F];
}

std::string TSMTPBodyPart::QuotedPrintableEncode(const std::string& sText) {
    TFunctionTrace trace(u"TSMTPBodyPart::QuotedPrintableEncode");
    const std::string escaped = Escape(sText);
    const char* e = escaped.data();
    const size_t length = escaped.size();
    std::string out;
    out.reserve(length + length / 25 + 16);
    // Line by line: a line is written up to its CR or LF (each ends a line),
    // or up to the end of the text, when that comes within 78 characters;
    // otherwise it is too long and gets a soft line break.
    size_t start = 0;  // first character not yet written
    while (start < length) {
        const size_t limit = start + 77;  // the first character too many
        const size_t last = limit < length - 1 ? limit : length - 1;
        size_t k = start;
        while (k <= last && e[k] != '\r' && e[k] != '\n')
            ++k;
        if (k <= last) {
            out.append(e + start, k - start + 1);
            start = k + 1;
            continue;
        }
        if (last == length - 1) {
            out.append(e + start, length - start);
            break;
        }
        // Break after the last blank or escape, searching back from the
        // character too many.
        size_t j = limit;
        for (;;) {
            if (j > 1 && (IsBlank(e[j]) || e[j - 2] == '='))
                break;
            --j;
            if (j == start) {
                // Neither found: cut after the 77th character, unless that
                // character opens an escape, which must stay whole on the next
                // line (a cut "=" would be read as a soft break and the escape
                // as plain text).
                j = e[start + 76] == '=' ? start + 75 : start + 76;
                break;
            }
        }
        out.append(e + start, j - start + 1);
        out.append("=\r\n", 3);
        start = j + 1;
    }
    return out;
}

std::string TSMTPBodyPart::QEncode(const char* pszText, const char* pszCharset) {
    TFunctionTrace trace(u"TSMTPBodyPart::QEncode");
    const char* text = pszText != nullptr ? pszText : "";
    const size_t length = std::strlen(text);
    bool bNeedsEncoding = false;
    for (size_t i = 0; i < length; ++i) {
        if (static_cast<unsigned char>(text[i]) > 0x7F) {
            bNeedsEncoding = true;
            break;
        }
    }
    if (!bNeedsEncoding)
        return std::string(text, length);
    std::string out = "=?";
    out.reserve(length * 3 + 16);
    out += pszCharset != nullptr ? pszCharset : "";
    out += "?q?";
    for (size_t i = 0; i < length; ++i) {
        auto b = static_cast<unsigned char>(text[i]);
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

std::string TSMTPBodyPart::HeaderEncode(const std::u16string& sValue,
                                        const std::u16string& sCharset) {
    TFunctionTrace trace(u"TSMTPBodyPart::HeaderEncode");
    std::string value;
    std::string charset;
    strWideToAnsi(value, sValue.c_str(), static_cast<int>(sValue.size()), CP_UTF8, false);
    strWideToAnsi(charset, sCharset.c_str(), static_cast<int>(sCharset.size()), CP_UTF8, false);
    return QEncode(value.c_str(), charset.c_str());
}

void TSMTPBodyPart::FixSingleDotT(std::u16string& sText) {
    TFunctionTrace trace(u"TSMTPBodyPart::FixSingleDotT");
    size_t count = 0;
    for (size_t i = 0; i + 1 < sText.size(); ++i) {
        if (sText[i] == u'\n' && sText[i + 1] == u'.')
            ++count;
    }
    if (count == 0)
        return;
    std::u16string out;
    out.reserve(sText.size() + count);
    for (size_t i = 0; i < sText.size(); ++i) {
        out.push_back(sText[i]);
        if (sText[i] == u'\n' && i + 1 < sText.size() && sText[i + 1] == u'.')
            out.push_back(u'.');
    }
    sText.swap(out);
}

void TSMTPBodyPart::FixSingleDotA(std::string& sText) {
    TFunctionTrace trace(u"TSMTPBodyPart::FixSingleDotA");
    StuffDots(sText, false);
}

// A body block always starts a line on the wire (after the empty line of its
// header, or after the message header block's), so its first character counts
// as a line start too.
void TSMTPBodyPart::MakeTransparent(std::string& sBody) {
    TFunctionTrace trace(u"TSMTPBodyPart::MakeTransparent");
    StuffDots(sBody, true);
}
