// Conversions between UTF-16 and the two code pages the provider uses: the
// system's ANSI code page (Windows-1252) and UTF-8.
#include <cstdint>
#include <cstring>

#include "vxutil.h"

namespace {

// Windows-1252 bytes 0x80 to 0x9F; the five unassigned bytes map to the C1
// control of the same value, as Windows does.
const char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

constexpr char16_t kReplacement = 0xFFFD;

bool IsUtf8(unsigned codePage) { return codePage == CP_UTF8; }

size_t NarrowLength(const char* text, int len) {
    return len < 0 ? std::strlen(text) : static_cast<size_t>(len);
}

size_t WideLength(const char16_t* text, int len) {
    return len < 0 ? std::char_traits<char16_t>::length(text) : static_cast<size_t>(len);
}

void AppendCodePoint(std::u16string& out, std::uint32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

void Utf8ToUtf16(std::u16string& out, const unsigned char* s, size_t n) {
    out.reserve(n);
    size_t i = 0;
    while (i < n) {
        unsigned char b = s[i];
        if (b < 0x80) {
            out.push_back(b);
            ++i;
            continue;
        }
        int extra;
        std::uint32_t cp;
        std::uint32_t min;
        if ((b & 0xE0) == 0xC0) {
            extra = 1, cp = b & 0x1F, min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2, cp = b & 0x0F, min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            extra = 3, cp = b & 0x07, min = 0x10000;
        } else {
            out.push_back(kReplacement);
            ++i;
            continue;
        }
        size_t j = 1;
        for (; j <= static_cast<size_t>(extra); ++j) {
            if (i + j >= n || (s[i + j] & 0xC0) != 0x80) break;
            cp = (cp << 6) | (s[i + j] & 0x3F);
        }
        if (j <= static_cast<size_t>(extra)) {
            // A sequence cut short: one replacement for the bytes taken.
            out.push_back(kReplacement);
            i += j;
            continue;
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(kReplacement);
        } else {
            AppendCodePoint(out, cp);
        }
        i += static_cast<size_t>(extra) + 1;
    }
}

void Cp1252ToUtf16(std::u16string& out, const unsigned char* s, size_t n) {
    out.resize(n);
    for (size_t i = 0; i < n; ++i) {
        unsigned char b = s[i];
        out[i] = (b >= 0x80 && b < 0xA0) ? kCp1252High[b - 0x80] : b;
    }
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void Utf16ToUtf8(std::string& out, const char16_t* s, size_t n) {
    out.reserve(n + n / 2);
    for (size_t i = 0; i < n; ++i) {
        char16_t c = s[i];
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            std::uint32_t cp = 0x10000 + ((std::uint32_t(c) - 0xD800) << 10) + (std::uint32_t(s[i + 1]) - 0xDC00);
            AppendUtf8(out, cp);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            AppendUtf8(out, kReplacement);  // unpaired surrogate
        } else {
            AppendUtf8(out, c);
        }
    }
}

char Utf16ToCp1252Char(char16_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
    for (int i = 0; i < 32; ++i) {
        if (kCp1252High[i] == c) return static_cast<char>(0x80 + i);
    }
    return '?';
}

void Utf16ToCp1252(std::string& out, const char16_t* s, size_t n) {
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        char16_t c = s[i];
        // A surrogate pair is one character that the code page lacks.
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) ++i;
        out.push_back(Utf16ToCp1252Char(c));
    }
}

}  // namespace

bool strAnsiToWide(std::u16string& out, const char* text, int len, unsigned codePage, bool /*flag*/) {
    out.clear();
    if (text == nullptr) return len == 0;
    size_t n = NarrowLength(text, len);
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    if (IsUtf8(codePage)) {
        Utf8ToUtf16(out, bytes, n);
    } else {
        Cp1252ToUtf16(out, bytes, n);
    }
    return true;
}

bool strWideToAnsi(std::string& out, const char16_t* text, int len, unsigned codePage, bool /*flag*/) {
    out.clear();
    if (text == nullptr) return len == 0;
    size_t n = WideLength(text, len);
    if (IsUtf8(codePage)) {
        Utf16ToUtf8(out, text, n);
    } else {
        Utf16ToCp1252(out, text, n);
    }
    return true;
}
