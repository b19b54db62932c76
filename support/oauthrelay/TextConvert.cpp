#include "TextConvert.h"

#include <array>
#include <climits>
#include <new>

#include "vxutil.h"

namespace oauthrelay {

namespace {

// Windows-1252 bytes 0x80 to 0x9F; 0 where the code page has no character.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

enum class Charset { Utf8, Ascii, Latin1, Cp1252, Unknown };

Charset CharsetOf(std::string_view name) {
    const std::string n = AsciiLower(Trim(name));
    if (n.empty() || n == "utf-8" || n == "utf8") {
        return Charset::Utf8;
    }
    if (n == "us-ascii" || n == "ascii") {
        return Charset::Ascii;
    }
    if (n == "iso-8859-1" || n == "iso8859-1" || n == "latin1" || n == "latin-1" || n == "l1") {
        return Charset::Latin1;
    }
    if (n == "windows-1252" || n == "cp1252") {
        return Charset::Cp1252;
    }
    return Charset::Unknown;
}

// One byte for the character in a single-byte charset, or -1.
int SingleByte(char16_t c, Charset charset) {
    if (c < 0x80) {
        return c;
    }
    if (charset == Charset::Latin1 && c <= 0xFF) {
        return c;
    }
    if (charset == Charset::Cp1252) {
        if (c >= 0xA0 && c <= 0xFF) {
            return c;
        }
        for (size_t i = 0; i < kCp1252High.size(); ++i) {
            if (kCp1252High[i] != 0 && kCp1252High[i] == c) {
                return static_cast<int>(0x80 + i);
            }
        }
    }
    return -1;
}

}  // namespace

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    if (text.size() > static_cast<size_t>(INT_MAX) ||
        !strWideToAnsi(out, text.data(), static_cast<int>(text.size()), CP_UTF8, false))
        throw std::bad_alloc();
    return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    if (text.size() > static_cast<size_t>(INT_MAX) ||
        !strAnsiToWide(out, text.data(), static_cast<int>(text.size()), CP_UTF8, false))
        throw std::bad_alloc();
    return out;
}

std::u16string ArgumentText(const char16_t* pszText) {
    return pszText != nullptr ? std::u16string(pszText) : std::u16string();
}

std::string EncodeCharset(std::u16string_view text, std::string_view charset,
                          std::string& strCharsetUsed) {
    const Charset wanted = CharsetOf(charset);
    if (wanted == Charset::Ascii || wanted == Charset::Latin1 || wanted == Charset::Cp1252) {
        std::string out;
        out.reserve(text.size());
        bool fits = true;
        for (char16_t c : text) {
            const int byte = SingleByte(c, wanted);
            if (byte < 0) {
                fits = false;
                break;
            }
            out += static_cast<char>(byte);
        }
        if (fits) {
            strCharsetUsed = wanted == Charset::Ascii    ? "us-ascii"
                             : wanted == Charset::Latin1 ? "iso-8859-1"
                                                         : "windows-1252";
            return out;
        }
    }
    strCharsetUsed = "utf-8";
    return Utf16ToUtf8(text);
}

std::string AsciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::string Trim(std::string_view text) {
    size_t b = 0;
    size_t e = text.size();
    while (b < e && (text[b] == ' ' || text[b] == '\t' || text[b] == '\r' || text[b] == '\n')) {
        ++b;
    }
    while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t' || text[e - 1] == '\r' ||
                     text[e - 1] == '\n')) {
        --e;
    }
    return std::string(text.substr(b, e - b));
}

std::string PercentEncode(std::string_view text, std::string_view keep) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3 / 2);
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            (c != '\0' && keep.find(c) != std::string_view::npos)) {
            out += c;
        } else {
            out += '%';
            out += kHex[b >> 4];
            out += kHex[b & 15];
        }
    }
    return out;
}

bool IsAscii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

}  // namespace oauthrelay
