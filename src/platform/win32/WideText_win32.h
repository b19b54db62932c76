// The project's wide text (char16_t) and the system's (wchar_t) are the same
// UTF-16 code units on Windows; these casts are the one place that says so.
#pragma once

#include <cwchar>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide characters are UTF-16 code units");

namespace platform {

inline const wchar_t* SysText(const char16_t* text) {
    return reinterpret_cast<const wchar_t*>(text);
}
inline wchar_t* SysText(char16_t* text) {
    return reinterpret_cast<wchar_t*>(text);
}
inline const char16_t* OwnText(const wchar_t* text) {
    return reinterpret_cast<const char16_t*>(text);
}

}  // namespace platform
