// Names that the registry and the profile files compare without regard to
// case. ASCII and Latin-1 letters fold to lower case, which covers the key,
// value, section and setting names users meet there.
#pragma once

#include <string_view>

namespace platform {

inline char16_t FoldNameChar(char16_t c) {
    if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7))
        return static_cast<char16_t>(c + 32);
    return c;
}

inline bool SameNameIgnoringCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldNameChar(a[i]) != FoldNameChar(b[i]))
            return false;
    }
    return true;
}

}  // namespace platform
