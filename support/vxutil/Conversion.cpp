// Conversions between UTF-16 and the two code pages the provider uses: the
// system's ANSI code page and UTF-8. Both are the platform layer's own.
#include <cstring>
#include <string_view>

#include "platform/AnsiCodePage.h"
#include "platform/Utf.h"
#include "vxutil.h"

namespace {

size_t NarrowLength(const char* text, int len) {
    return len < 0 ? std::strlen(text) : static_cast<size_t>(len);
}

size_t WideLength(const char16_t* text, int len) {
    return len < 0 ? std::char_traits<char16_t>::length(text) : static_cast<size_t>(len);
}

}  // namespace

bool strAnsiToWide(std::u16string& out, const char* text, int len, unsigned codePage,
                   bool /*flag*/) {
    out.clear();
    if (text == nullptr)
        return len == 0;
    size_t n = NarrowLength(text, len);
    try {
        out = codePage == CP_UTF8 ? platform::Utf8ToUtf16(std::string_view(text, n))
                                  : platform::AnsiToUtf16(text, n);
    } catch (...) {
        return false;  // out of memory: no exception leaves the library
    }
    return true;
}

bool strWideToAnsi(std::string& out, const char16_t* text, int len, unsigned codePage,
                   bool /*flag*/) {
    out.clear();
    if (text == nullptr)
        return len == 0;
    size_t n = WideLength(text, len);
    try {
        out = codePage == CP_UTF8 ? platform::Utf16ToUtf8(std::u16string_view(text, n))
                                  : platform::Utf16ToAnsi(text, n);
    } catch (...) {
        return false;  // out of memory: no exception leaves the library
    }
    return true;
}
