#include "platform/Utf.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace platform {

std::string Utf16ToUtf8(std::u16string_view s) {
    // At most three bytes per UTF-16 unit (a pair makes four from two); the
    // text is written in place and the string cut to what was written.
    // Text is mostly ASCII: its leading run is one narrowing copy.
    size_t ascii = 0;
    while (ascii < s.size() && s[ascii] < 0x80)
        ++ascii;
    std::string out(ascii == s.size() ? s.size() : s.size() * 3, '\0');
    char* p = std::copy(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(ascii), out.data());
    for (size_t i = ascii; i < s.size(); ++i) {
        std::uint32_t c = s[i];
        if (c < 0x80) {
            *p++ = static_cast<char>(c);
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00u);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x800) {
            *p++ = static_cast<char>(0xC0 | (c >> 6));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *p++ = static_cast<char>(0xE0 | (c >> 12));
            *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *p++ = static_cast<char>(0xF0 | (c >> 18));
            *p++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    out.resize(static_cast<size_t>(p - out.data()));
    return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    size_t n = text.size();
    for (size_t i = 0; i < n;) {
        unsigned char b = s[i];
        int extra = b < 0x80             ? 0
                    : (b & 0xE0) == 0xC0 ? 1
                    : (b & 0xF0) == 0xE0 ? 2
                    : (b & 0xF8) == 0xF0 ? 3
                                         : -1;
        if (extra < 0) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        std::uint32_t c = extra == 0 ? b : (b & (0x3F >> extra));
        size_t j = 1;
        for (; j <= static_cast<size_t>(extra); ++j) {
            if (i + j >= n || (s[i + j] & 0xC0) != 0x80)
                break;
            c = (c << 6) | (s[i + j] & 0x3F);
        }
        if (j <= static_cast<size_t>(extra)) {
            out.push_back(0xFFFD);
            i += j;
            continue;
        }
        static const std::uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
        if (c < kMin[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            out.push_back(0xFFFD);
        } else if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
        i += static_cast<size_t>(extra) + 1;
    }
    return out;
}

}  // namespace platform
