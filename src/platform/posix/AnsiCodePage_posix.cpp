#include "platform/AnsiCodePage.h"

namespace platform {

namespace {

// Windows-1252 bytes 0x80 to 0x9F; 0x81, 0x8D, 0x8F, 0x90 and 0x9D are unassigned.
const char16_t kHigh[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                            0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                            0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                            0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

bool IsHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

}  // namespace

char16_t AnsiCharToUtf16(unsigned char byte) {
    return (byte >= 0x80 && byte < 0xA0) ? kHigh[byte - 0x80] : static_cast<char16_t>(byte);
}

char Utf16CharToAnsi(char16_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return static_cast<char>(c);
    for (int i = 0; i < 32; ++i) {
        if (kHigh[i] == c)
            return static_cast<char>(0x80 + i);
    }
    return '?';
}

std::u16string AnsiToUtf16(const char* text, std::size_t count) {
    std::u16string out(count, u'\0');
    for (std::size_t i = 0; i < count; ++i)
        out[i] = AnsiCharToUtf16(static_cast<unsigned char>(text[i]));
    return out;
}

std::string Utf16ToAnsi(const char16_t* text, std::size_t count) {
    std::string out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (IsHighSurrogate(text[i]) && i + 1 < count && IsLowSurrogate(text[i + 1])) {
            out.push_back('?');
            ++i;
            continue;
        }
        out.push_back(Utf16CharToAnsi(text[i]));
    }
    return out;
}

}  // namespace platform
