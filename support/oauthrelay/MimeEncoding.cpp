#include "MimeEncoding.h"

#include <algorithm>
#include <new>

#include "TextConvert.h"
#include "vxutil.h"

namespace oauthrelay {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";
// The longest header line we aim for, and the most any line may have.
constexpr size_t kFoldAt = 78;
constexpr size_t kLineLimit = 998;
// A parameter on a folded line of its own: 78 characters less the tab that
// starts the line and a ";" that may end it.
constexpr size_t kParameterRoom = kFoldAt - 2;

bool IsAtomChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return std::string_view("!#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos;
}

// Length of the UTF-8 sequence that starts with this byte (1 for stray bytes,
// so that malformed input still moves on).
size_t SequenceLength(unsigned char b) {
    if ((b & 0xE0) == 0xC0) {
        return 2;
    }
    if ((b & 0xF0) == 0xE0) {
        return 3;
    }
    if ((b & 0xF8) == 0xF0) {
        return 4;
    }
    return 1;
}

std::string EncodedWord(std::string_view bytes) {
    return "=?utf-8?B?" + EncodeBase64(bytes, 0) + "?=";
}

// Encoded words that keep each line within 76 characters where a word can; the
// first line has nUsed characters already. Words never split a character.
// When folding, a first word that would not fit even short starts a folded
// line of its own.
std::string FoldedEncodedWords(std::string_view utf8, size_t nUsed, std::string_view separator) {
    constexpr size_t kOverhead = 12;  // "=?utf-8?B?" and "?="
    const bool folding = separator.find('\n') != std::string_view::npos;
    auto bytesFor = [](size_t used) {
        const size_t budget = used + kOverhead < 76 ? 76 - used - kOverhead : 0;
        return budget / 4 * 3;
    };
    std::string out;
    size_t pos = 0;
    size_t used = nUsed;
    do {
        if (pos != 0) {
            out += separator;
            used = folding ? separator.size() - 2 : used + separator.size();
        }
        size_t maxBytes = bytesFor(used);
        if (maxBytes < 6 && folding && pos == 0 && used > 1) {
            out += separator;
            used = separator.size() - 2;
            maxBytes = bytesFor(used);
        }
        if (maxBytes < 6) {
            maxBytes = 45;  // the line is full already; the word goes on it anyway
        }
        size_t take = 0;
        while (pos + take < utf8.size()) {
            const size_t n = std::min(SequenceLength(static_cast<unsigned char>(utf8[pos + take])),
                                      utf8.size() - pos - take);
            if (take + n > maxBytes) {
                break;
            }
            take += n;
        }
        const std::string word = EncodedWord(utf8.substr(pos, take));
        out += word;
        used += word.size();
        pos += take;
    } while (pos < utf8.size());
    return out;
}

// Plain text folded by turning the blank before a word into CRLF and blank
// where the line would pass 78 characters; the first line has nUsed characters
// already. False when one word is longer than a line may be.
bool FoldAtBlanks(std::string_view text, size_t nUsed, std::string& out) {
    out.clear();
    out.reserve(text.size() + text.size() / 32 + 2);
    size_t used = nUsed;
    size_t pos = 0;
    bool first = true;
    while (pos <= text.size()) {
        size_t end = text.find(' ', pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view word = text.substr(pos, end - pos);
        if (first) {
            out += word;
            used += word.size();
            first = false;
        } else if (!word.empty() && used + 1 + word.size() > kFoldAt && used > 1) {
            out += "\r\n ";
            out += word;
            used = 1 + word.size();
        } else {
            out += ' ';
            out += word;
            used += 1 + word.size();
        }
        if (used > kLineLimit) {
            return false;
        }
        pos = end + 1;
    }
    return true;
}

// A word of a display name that may stay as it is next to encoded words: an
// atom that does not look like an encoded word and fits on a line.
bool IsPlainWord(std::string_view word) {
    if (word.empty() || word.size() > 75 || word.find("=?") != std::string_view::npos) {
        return false;
    }
    return std::all_of(word.begin(), word.end(), IsAtomChar);
}

// A display name too long for one encoded word on its line. Its plain words
// stay as they are; the others are encoded, a run of them together with the
// single blanks between them. Lines are folded at the blanks around plain
// words, and a run that does not fit is split into several encoded words.
// Readers keep a blank next to a plain word and drop a fold between two
// encoded words, so the name reads back as it was, also with readers that
// keep the blank between encoded words of a phrase. Blanks at either end or
// two in a row could not be told from folding: such a name is encoded whole.
std::string PhraseWords(std::string_view name, size_t nUsed) {
    if (name.empty() || name.front() == ' ' || name.back() == ' ' ||
        name.find("  ") != std::string_view::npos) {
        return FoldedEncodedWords(name, nUsed, "\r\n ");
    }
    constexpr size_t kShortestWord = 20;  // "=?utf-8?B?", one character, "?="
    std::string out;
    size_t used = nUsed;
    size_t pos = 0;
    while (pos < name.size()) {
        size_t end = std::min(name.find(' ', pos), name.size());
        const bool plain = IsPlainWord(name.substr(pos, end - pos));
        while (!plain && end < name.size()) {
            const size_t next = std::min(name.find(' ', end + 1), name.size());
            if (IsPlainWord(name.substr(end + 1, next - end - 1))) {
                break;
            }
            end = next;
        }
        // What must go on the line the piece starts: a plain word, a run that
        // fits on a line as one word, or the first word of a longer run.
        const size_t wordLength = 12 + (end - pos + 2) / 3 * 4;
        const size_t need = plain ? end - pos : wordLength < 76 ? wordLength : kShortestWord;
        if (pos == 0 ? used > 1 && used + need > 76 : used + 1 + need > 76) {
            out += "\r\n ";
            used = 1;
        } else if (pos > 0) {
            out += ' ';
            ++used;
        }
        if (plain) {
            out += name.substr(pos, end - pos);
            used += end - pos;
        } else {
            const std::string words =
                FoldedEncodedWords(name.substr(pos, end - pos), used, "\r\n ");
            out += words;
            used = EndColumn(words, used);
        }
        pos = end + 1;
    }
    return out;
}

}  // namespace

size_t EndColumn(std::string_view text, size_t nColumn) {
    const size_t lf = text.rfind('\n');
    return lf == std::string_view::npos ? nColumn + text.size() : text.size() - lf - 1;
}

size_t Base64Length(size_t nBytes, size_t nLineLength) {
    const size_t chars = (nBytes + 2) / 3 * 4;
    const size_t perLine = nLineLength >= 4 ? nLineLength / 4 * 4 : 0;
    return chars + (perLine != 0 && chars != 0 ? (chars - 1) / perLine * 2 : 0);
}

void AppendBase64(std::string& out, std::string_view data, size_t nLineLength) {
    out.reserve(out.size() + Base64Length(data.size(), nLineLength));
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    // Whole groups fill a line. The host product's encoder takes the bytes of
    // 1024 lines at a time, so that a large attachment's text is not held twice.
    const size_t lineChars = nLineLength / 4 * 4;
    const size_t block = lineChars != 0 ? lineChars / 4 * 3 * 1024 : data.size();
    std::string run;
    for (size_t done = 0; done < data.size(); done += block) {
        if (::EncodeBase64(run, p + done, std::min(block, data.size() - done)) < 0)
            throw std::bad_alloc();
        const size_t line = lineChars != 0 ? lineChars : run.size();
        for (size_t at = 0; at < run.size(); at += line) {
            if (done + at != 0)
                out += "\r\n";
            out.append(run, at, line);
        }
    }
}

std::string EncodeBase64(std::string_view data, size_t nLineLength) {
    std::string out;
    AppendBase64(out, data, nLineLength);
    return out;
}

std::string NormalizeLineEnds(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            out += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
        } else if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string EncodeQuotedPrintable(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    std::string line;  // one line of the text, escaped
    size_t lineStart = 0;
    while (lineStart <= text.size()) {
        size_t lineEnd = text.find("\r\n", lineStart);
        const bool last = lineEnd == std::string_view::npos;
        if (last) {
            lineEnd = text.size();
        }
        line.clear();
        for (size_t i = lineStart; i < lineEnd; ++i) {
            const auto b = static_cast<unsigned char>(text[i]);
            const bool blank = b == ' ' || b == '\t';
            if ((b >= 33 && b <= 126 && b != '=') || (blank && i + 1 < lineEnd)) {
                line += static_cast<char>(b);
            } else {
                line += '=';
                line += kHex[b >> 4];
                line += kHex[b & 15];
            }
        }
        // At most 76 characters a line, the "=" of a soft break included:
        // the break follows the last blank that leaves room for the "=", or
        // the 75th character unless that would cut an escape.
        size_t start = 0;
        while (line.size() - start > 76) {
            size_t j = start + 75;
            while (j > start && line[j - 1] != ' ' && line[j - 1] != '\t') {
                --j;
            }
            if (j == start) {
                j = start + 75;
                while (line[j - 1] == '=' || line[j - 2] == '=') {
                    --j;
                }
            }
            out.append(line, start, j - start);
            out += "=\r\n";
            start = j;
        }
        out.append(line, start);
        if (last) {
            break;
        }
        out += "\r\n";
        lineStart = lineEnd + 2;
    }
    return out;
}

std::string EncodeHeaderText(std::string_view utf8, size_t nUsed) {
    std::string text(utf8);
    for (char& c : text) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    bool plain = IsAscii(text) && text.find("=?") == std::string::npos;
    for (char c : text) {
        if ((static_cast<unsigned char>(c) < 32 && c != '\t') || c == 127) {
            plain = false;
        }
    }
    std::string out;
    if (plain && FoldAtBlanks(text, nUsed, out)) {
        return out;
    }
    return FoldedEncodedWords(text, nUsed, "\r\n ");
}

std::string EncodeDisplayName(std::string_view utf8, size_t nUsed) {
    std::string name(utf8);
    for (char& c : name) {
        if (c == '\r' || c == '\n' || c == '\t') {
            c = ' ';
        }
    }
    if (!IsAscii(name)) {
        // One word when it fits on the line, as short names always did.
        std::string word = FoldedEncodedWords(name, nUsed, "\r\n ");
        return word.find('\n') == std::string::npos ? word : PhraseWords(name, nUsed);
    }
    bool atoms = name.find("=?") == std::string::npos;
    bool printable = true;
    for (char c : name) {
        if (c < 32 || c == 127) {
            printable = false;
        }
        if (c != ' ' && !IsAtomChar(c)) {
            atoms = false;
        }
    }
    if (!printable) {
        std::string word = FoldedEncodedWords(name, nUsed, "\r\n ");
        return word.find('\n') == std::string::npos ? word : PhraseWords(name, nUsed);
    }
    std::string form;
    if (atoms) {
        form = name;
    } else {
        form = "\"";
        for (char c : name) {
            if (c == '"' || c == '\\') {
                form += '\\';
            }
            form += c;
        }
        form += '"';
    }
    // Only a name that would pass the line limit is folded; a quoted string
    // may be folded at its blanks as well.
    if (nUsed + form.size() <= kLineLimit) {
        return form;
    }
    std::string folded;
    if (FoldAtBlanks(form, nUsed, folded)) {
        return folded;
    }
    return PhraseWords(name, nUsed);
}

std::string EncodeParameter(std::string_view name, std::string_view utf8) {
    bool printable = true;
    for (char c : utf8) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 32 || b >= 127) {
            printable = false;
        }
    }
    std::string out(name);
    if (printable) {
        out += "=\"";
        for (char c : utf8) {
            if (c == '"' || c == '\\') {
                out += '\\';
            }
            out += c;
        }
        out += '"';
        if (out.size() <= kParameterRoom) {
            return out;
        }
    }
    // Letters, digits and these are the attribute characters that stay as they are.
    constexpr std::string_view kKeep = "!#$&+-.^_`|~";
    const std::string value = PercentEncode(utf8, kKeep);
    if (name.size() + 9 + value.size() <= kParameterRoom) {
        return std::string(name) + "*=utf-8''" + value;
    }
    // Numbered sections (RFC 2231), each on a line of its own and each of
    // whole characters.
    out.clear();
    size_t section = 0;
    size_t lineStart = 0;
    for (size_t pos = 0; pos < utf8.size();) {
        const size_t n =
            std::min(SequenceLength(static_cast<unsigned char>(utf8[pos])), utf8.size() - pos);
        const std::string piece = PercentEncode(utf8.substr(pos, n), kKeep);
        if (section == 0 || out.size() - lineStart + piece.size() > kParameterRoom) {
            if (section != 0) {
                out += ";\r\n\t";
            }
            lineStart = out.size();
            out += std::string(name) + "*" + std::to_string(section) +
                   "*=" + (section == 0 ? "utf-8''" : "");
            ++section;
        }
        out += piece;
        pos += n;
    }
    return out;
}

std::string NameParameter(std::string_view utf8) {
    std::string out = EncodeParameter("name", utf8);
    if (out.find('*') == std::string::npos) {
        return out;
    }
    // Older readers that know no RFC 2231 take encoded words in the quoted
    // string; Base64 words hold no quote or backslash.
    return "name=\"" + FoldedEncodedWords(utf8, 7, "\r\n\t") + "\"";
}

void DotStuffer::Append(std::string& out, std::string_view chunk) {
    out.reserve(out.size() + chunk.size() + chunk.size() / 64);
    for (char c : chunk) {
        if (m_bLineStart && c == '.') {
            out += '.';
        }
        out += c;
        // A line starts after CRLF only; a bare LF or CR inside a line does not
        // end it on the wire.
        m_bLineStart = m_bAfterCR && c == '\n';
        m_bAfterCR = c == '\r';
    }
}

}  // namespace oauthrelay
