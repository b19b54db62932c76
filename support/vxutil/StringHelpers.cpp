#include <cstdlib>

#include "vxutil.h"

void trim(std::u16string& s, const char16_t* set, bool left, bool right) {
    if (set == nullptr)
        return;
    std::u16string_view chars(set);
    if (right) {
        size_t end = s.find_last_not_of(chars);
        s.erase(end == std::u16string::npos ? 0 : end + 1);
    }
    if (left) {
        size_t begin = s.find_first_not_of(chars);
        s.erase(0, begin == std::u16string::npos ? s.size() : begin);
    }
}

namespace {

char16_t ToLower(char16_t c) {
    if (c < 0x80)
        return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
    if ((c >= 0xC0 && c <= 0xDE && c != 0xD7))
        return static_cast<char16_t>(c + 32);
    // Latin Extended-A: upper case letters at even code points.
    if (c >= 0x100 && c <= 0x137 && (c % 2) == 0)
        return static_cast<char16_t>(c + 1);
    if (c >= 0x139 && c <= 0x148 && (c % 2) == 1)
        return static_cast<char16_t>(c + 1);
    if (c >= 0x14A && c <= 0x177 && (c % 2) == 0)
        return static_cast<char16_t>(c + 1);
    if (c == 0x178)
        return 0xFF;
    if (c >= 0x179 && c <= 0x17E && (c % 2) == 1)
        return static_cast<char16_t>(c + 1);
    // Greek and Cyrillic.
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2)
        return static_cast<char16_t>(c + 32);
    if (c >= 0x410 && c <= 0x42F)
        return static_cast<char16_t>(c + 32);
    if (c >= 0x400 && c <= 0x40F)
        return static_cast<char16_t>(c + 80);
    return c;
}

}  // namespace

void to_lower(std::u16string& s) {
    for (char16_t& c : s)
        c = ToLower(c);
}

int dbgout_on() {
    const char* level = std::getenv("VX_DEBUG_LEVEL");
    return level == nullptr ? 0 : std::atoi(level);
}
