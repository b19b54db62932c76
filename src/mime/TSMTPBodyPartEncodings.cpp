// The text encodings of the MIME output: quoted-printable bodies, Q-encoded
// header words, the hexadecimal digits both share, and SMTP dot-stuffing.
// Each works on a whole buffer in one or two linear passes.
#include <algorithm>
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

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// The escape pass: every byte that may not stand for itself becomes "=XY",
// and so does a blank at the end of a line (before CR, LF or the end of the
// text), which transports may strip (RFC 2045). The text ends at its first NUL.
std::string Escape(const std::string& text) {
    size_t end = text.find('\0');
    if (end == std::string::npos)
        end = text.size();
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    auto literal = [&](size_t i) {
        return kLiteral[in[i]] && !(IsBlank(static_cast<char>(in[i])) &&
                                    (i + 1 == end || in[i + 1] == '\r' || in[i + 1] == '\n'));
    };
    size_t escapes = 0;
    for (size_t i = 0; i < end; ++i)
        escapes += literal(i) ? 0 : 1;
    std::string escaped(end + 2 * escapes, '\0');
    char* p = escaped.data();
    for (size_t i = 0; i < end; ++i) {
        const unsigned char b = in[i];
        if (literal(i)) {
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

// RFC 2047 keeps a line that holds an encoded word within 76 characters;
// RFC 5322 wants header lines within 78 and allows no more than 998.
constexpr size_t kEncodedLineLimit = 76;
// RFC 2047 allows no encoded word longer than 75 characters, wherever it starts.
constexpr size_t kEncodedWordLimit = 75;
constexpr size_t kFoldAt = 78;
constexpr size_t kLineLimit = 998;

bool NeedsEncoding(const std::string& text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) > 0x7F)
            return true;
    }
    return false;
}

// Which bytes an encoded word carries as they are. QEncode's own words copy
// every byte but "=", "?", "_" and those above 0x7F. Words of a folded text
// also escape control characters (a tab would end the word), and those of a
// display name everything but letters, digits and "!*+-/", as RFC 2047 asks
// of a phrase. Words inside a quoted string escape quotes and backslashes too.
enum class QRule { Copy, Text, Phrase, Quoted };

size_t QLength(unsigned char b, QRule rule) {
    if (b == ' ')
        return 1;
    if (b > 0x7F || b == '=' || b == '?' || b == '_')
        return 3;
    switch (rule) {
        case QRule::Copy:
            return 1;
        case QRule::Text:
            return b < 0x20 || b == 0x7F ? 3 : 1;
        case QRule::Quoted:
            return b < 0x20 || b == 0x7F || b == '"' || b == '\\' ? 3 : 1;
        case QRule::Phrase:
            return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') ||
                           b == '!' || b == '*' || b == '+' || b == '-' || b == '/'
                       ? 1
                       : 3;
    }
    return 3;
}

void AppendQ(std::string& out, unsigned char b, QRule rule) {
    if (b == ' ') {
        out.push_back('_');
    } else if (QLength(b, rule) == 3) {
        out.push_back('=');
        out.push_back(kHex[b / 16]);
        out.push_back(kHex[b % 16]);
    } else {
        out.push_back(static_cast<char>(b));
    }
}

// The bytes of the UTF-8 character at pos: its lead byte and the continuation
// bytes after it, so that a word boundary never falls inside a character.
size_t CharacterLength(const std::string& text, size_t pos) {
    size_t n = 1;
    while (n < 4 && pos + n < text.size() &&
           (static_cast<unsigned char>(text[pos + n]) & 0xC0) == 0x80)
        ++n;
    return n;
}

size_t QLength(const std::string& text, size_t pos, size_t n, QRule rule) {
    size_t length = 0;
    for (size_t k = pos; k < pos + n; ++k)
        length += QLength(static_cast<unsigned char>(text[k]), rule);
    return length;
}

// "=?", the charset, "?q?" and "?=".
size_t WordOverhead(const std::string& charset) {
    return charset.size() + 7;
}

// Appends text[begin, end) as encoded words that each end by column 76 of
// their line, the first starting at nColumn, every further one on a folded
// line of its own (CRLF and a blank, which readers drop between encoded
// words). A word holds whole characters, at least one. When not even one
// character fits after nColumn, the first word starts a folded line too.
// Returns the column after the last word.
size_t AppendEncodedWords(std::string& out, const std::string& text, size_t begin, size_t end,
                          const std::string& charset, size_t nColumn, QRule rule) {
    const size_t overhead = WordOverhead(charset);
    out.reserve(out.size() + (end - begin) * 3 + ((end - begin) / 16 + 2) * (overhead + 3));
    size_t column = nColumn;
    size_t pos = begin;
    while (pos < end) {
        const size_t first = QLength(text, pos, CharacterLength(text, pos), rule);
        if (pos > begin || (column > 1 && column + overhead + first > kEncodedLineLimit)) {
            out += "\r\n ";
            column = 1;
        }
        const size_t limit =
            std::min(kEncodedLineLimit - std::min(column, kEncodedLineLimit), kEncodedWordLimit);
        const size_t room = limit > overhead ? limit - overhead : 0;
        out += "=?";
        out += charset;
        out += "?q?";
        size_t used = 0;
        while (pos < end) {
            const size_t n = std::min(CharacterLength(text, pos), end - pos);
            const size_t length = QLength(text, pos, n, rule);
            if (used > 0 && used + length > room)
                break;
            for (size_t k = pos; k < pos + n; ++k)
                AppendQ(out, static_cast<unsigned char>(text[k]), rule);
            used += length;
            pos += n;
        }
        out += "?=";
        column += overhead + used;
    }
    return column;
}

// A word of a display name that may stay as it is next to encoded words: an
// atom (RFC 5322) that does not look like an encoded word and fits on a line.
bool IsPlainWord(const std::string& text, size_t begin, size_t end) {
    if (end == begin || end - begin > kEncodedLineLimit - 1)
        return false;
    for (size_t i = begin; i < end; ++i) {
        const char c = text[i];
        const bool bAtext = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                            (c >= '0' && c <= '9') ||
                            (c != '\0' && std::strchr("!#$%&'*+-/=?^_`{|}~", c) != nullptr);
        if (!bAtext || (c == '=' && i + 1 < end && text[i + 1] == '?'))
            return false;
    }
    return true;
}

// A display name too long for its line. Its plain words stay as they are; the
// others are encoded, a run of them together with the single blanks between
// them. Lines are folded at the blanks around plain words, and a run that does
// not fit is split into several encoded words. Readers keep a blank next to a
// plain word and drop a fold between two encoded words, so the name reads
// back as it was, also with readers that keep the blank between encoded
// words of a phrase. Blanks at either end or two in a row could not be told
// from folding: such a name is encoded whole.
std::string PhraseWords(const std::string& text, const std::string& charset, size_t nColumn) {
    std::string out;
    if (text.empty() || text.front() == ' ' || text.back() == ' ' ||
        text.find("  ") != std::string::npos) {
        AppendEncodedWords(out, text, 0, text.size(), charset, nColumn, QRule::Phrase);
        return out;
    }
    out.reserve(text.size() * 3);
    size_t column = nColumn;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = std::min(text.find(' ', pos), text.size());
        const bool bPlain = IsPlainWord(text, pos, end);
        while (!bPlain && end < text.size()) {
            const size_t next = std::min(text.find(' ', end + 1), text.size());
            if (IsPlainWord(text, end + 1, next))
                break;
            end = next;
        }
        // What must go on the line the piece starts: a plain word, a run that
        // fits on a line as one word, or the first word of a longer run.
        size_t need = end - pos;
        if (!bPlain) {
            need = WordOverhead(charset) + QLength(text, pos, end - pos, QRule::Phrase);
            if (need >= kEncodedLineLimit) {
                need = WordOverhead(charset) +
                       QLength(text, pos, CharacterLength(text, pos), QRule::Phrase);
            }
        }
        if (pos == 0 ? column > 1 && column + need > kEncodedLineLimit
                     : column + 1 + need > kEncodedLineLimit) {
            out += "\r\n ";
            column = 1;
        } else if (pos > 0) {
            out += ' ';
            ++column;
        }
        if (bPlain) {
            out.append(text, pos, end - pos);
            column += end - pos;
        } else {
            column = AppendEncodedWords(out, text, pos, end, charset, column, QRule::Phrase);
        }
        pos = end + 1;
    }
    return out;
}

// Plain text folded before a run of blanks wherever its line would pass 78
// characters. The run starts the next line, so unfolding (dropping the CRLF)
// gives the text back, and no line is only blanks. False when a piece between
// two runs would pass 998 characters even on a line of its own.
bool FoldAtBlanks(const std::string& text, size_t nColumn, std::string& out) {
    out.clear();
    out.reserve(text.size() + text.size() / 32 + 2);
    size_t column = nColumn;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = start;
        while (end < text.size() && IsBlank(text[end]))
            ++end;
        const bool bWord = end < text.size();
        while (end < text.size() && !IsBlank(text[end]))
            ++end;
        const size_t length = end - start;
        if (start > 0 && bWord && column + length > kFoldAt) {
            out += "\r\n";
            column = 0;
        }
        out.append(text, start, length);
        column += length;
        if (column > kLineLimit)
            return false;
        start = end;
    }
    return true;
}

// A header text for a line on which nColumn characters come before it: as
// QEncode writes it when that fits the line (76 characters for an encoded
// word, 998 for plain text); otherwise plain text folded at its blanks, or
// encoded words on folded lines.
std::string EncodeForLine(const std::u16string& sValue, const std::u16string& sCharset,
                          size_t nColumn, bool bPhrase) {
    std::string value;
    std::string charset;
    strWideToAnsi(value, sValue.c_str(), static_cast<int>(sValue.size()), CP_UTF8, false);
    strWideToAnsi(charset, sCharset.c_str(), static_cast<int>(sCharset.size()), CP_UTF8, false);
    value.resize(std::strlen(value.c_str()));  // as QEncode reads it
    if (NeedsEncoding(value)) {
        std::string word = TSMTPBodyPart::QEncode(value.c_str(), charset.c_str());
        if (nColumn + word.size() <= kEncodedLineLimit && word.size() <= kEncodedWordLimit)
            return word;
    } else {
        if (nColumn + value.size() <= kLineLimit)
            return value;
        std::string folded;
        if (FoldAtBlanks(value, nColumn, folded))
            return folded;
    }
    if (bPhrase)
        return PhraseWords(value, charset, nColumn);
    std::string words;
    AppendEncodedWords(words, value, 0, value.size(), charset, nColumn, QRule::Text);
    return words;
}

// The part of a parameter line left for the parameter itself: 78 characters,
// less the blank that starts the line and a ";" that may follow.
constexpr size_t kParameterRoom = kFoldAt - 2;

std::string Utf8Of(const std::u16string& text) {
    std::string utf8;
    strWideToAnsi(utf8, text.c_str(), static_cast<int>(text.size()), CP_UTF8, false);
    return utf8;
}

bool IsPrintableAscii(const std::string& text) {
    for (char c : text) {
        if (c < 0x20 || c > 0x7E)
            return false;
    }
    return true;
}

// attribute="value" with quotes and backslashes as quoted pairs (RFC 2045).
std::string QuotedParameter(const char* pszAttribute, const std::string& value) {
    std::string out = pszAttribute;
    out += "=\"";
    for (char c : value) {
        if (c == '"' || c == '\\')
            out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

// The bytes of a UTF-8 character as RFC 2231 writes them in a value: letters,
// digits and a few marks as they are, everything else as "%XX".
std::string PercentEncoded(const std::string& text, size_t pos, size_t n) {
    std::string out;
    for (size_t k = pos; k < pos + n; ++k) {
        const auto b = static_cast<unsigned char>(text[k]);
        if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') ||
            (b != 0 && std::strchr("!#$&+-.^_`|~", b) != nullptr)) {
            out.push_back(static_cast<char>(b));
        } else {
            out.push_back('%');
            out.push_back(kHex[b >> 4]);
            out.push_back(kHex[b & 0x0F]);
        }
    }
    return out;
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
    // RFC 2045 allows 76 characters a line, the "=" of a soft break included.
    constexpr size_t kLine = 76;
    const std::string escaped = Escape(sText);
    const char* e = escaped.data();
    const size_t length = escaped.size();
    std::string out;
    out.reserve(length + length / 25 + 16);
    // Line by line: CR and LF pass through and each ends a line. A line
    // longer than 76 characters gets soft breaks: after its last blank that
    // leaves room for the "=", else after the 75th character, or before an
    // escape that would be cut.
    size_t start = 0;  // first character not yet written
    while (start < length) {
        size_t end = start;  // the line's CR or LF, or the end of the text
        while (end < length && e[end] != '\r' && e[end] != '\n')
            ++end;
        while (end - start > kLine) {
            size_t j = start + kLine - 1;  // characters before the "="
            while (j > start && !IsBlank(e[j - 1]))
                --j;
            if (j == start) {
                j = start + kLine - 1;
                while (e[j - 1] == '=' || e[j - 2] == '=')
                    --j;
            }
            out.append(e + start, j - start);
            out.append("=\r\n", 3);
            start = j;
        }
        const size_t next = end < length ? end + 1 : end;
        out.append(e + start, next - start);
        start = next;
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
    for (size_t i = 0; i < length; ++i)
        AppendQ(out, static_cast<unsigned char>(text[i]), QRule::Copy);
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

std::string TSMTPBodyPart::HeaderEncode(const std::u16string& sValue,
                                        const std::u16string& sCharset, size_t nColumn) {
    TFunctionTrace trace(u"TSMTPBodyPart::HeaderEncode");
    return EncodeForLine(sValue, sCharset, nColumn, false);
}

std::string TSMTPBodyPart::HeaderEncodePhrase(const std::u16string& sValue,
                                              const std::u16string& sCharset, size_t nColumn) {
    TFunctionTrace trace(u"TSMTPBodyPart::HeaderEncodePhrase");
    return EncodeForLine(sValue, sCharset, nColumn, true);
}

std::string TSMTPBodyPart::NameParameter(const std::u16string& sName) {
    TFunctionTrace trace(u"TSMTPBodyPart::NameParameter");
    const std::string name = Utf8Of(sName);
    std::string out = QuotedParameter("name", name);
    if (IsPrintableAscii(name) && out.size() <= kParameterRoom)
        return out;
    // An encoded word holds no quote or backslash here, so nothing in it is
    // taken for the end of the quoted string (RFC 2047, 5).
    out = "name=\"";
    AppendEncodedWords(out, name, 0, name.size(), "utf-8", 1 + out.size(), QRule::Quoted);
    out.push_back('"');
    return out;
}

std::string TSMTPBodyPart::FilenameParameter(const std::u16string& sName) {
    TFunctionTrace trace(u"TSMTPBodyPart::FilenameParameter");
    const std::string name = Utf8Of(sName);
    std::string out = QuotedParameter("filename", name);
    if (IsPrintableAscii(name) && out.size() <= kParameterRoom)
        return out;
    std::string value = "utf-8''";
    for (size_t pos = 0; pos < name.size();) {
        const size_t n = CharacterLength(name, pos);
        value += PercentEncoded(name, pos, n);
        pos += n;
    }
    if (std::strlen("filename*=") + value.size() <= kParameterRoom)
        return "filename*=" + value;
    // Numbered sections, whole characters each (RFC 2231, 3 and 4).
    out.clear();
    size_t section = 0;
    size_t line = 0;  // where the current section's line starts in out
    for (size_t pos = 0; pos < name.size();) {
        const size_t n = CharacterLength(name, pos);
        const std::string piece = PercentEncoded(name, pos, n);
        if (section == 0 || out.size() - line + piece.size() > kParameterRoom) {
            if (section > 0)
                out += ";\r\n ";
            line = out.size();
            out += "filename*" + std::to_string(section) + "*=" + (section == 0 ? "utf-8''" : "");
            ++section;
        }
        out += piece;
        pos += n;
    }
    return out;
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
