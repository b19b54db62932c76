// Copying the provider's wide strings into the host's fixed wide-character
// fields (MAILWCHAR is the 16-bit character of the host interface).
#pragma once

#include <cstddef>
#include <string>

#include "mailapi.h"

// Copies at most cchMax - 1 characters and a NUL.
inline void CopyToHost(MAILWCHAR* pDest, size_t cchMax, const std::u16string& sText) {
    if (pDest == nullptr || cchMax == 0)
        return;
    size_t n = sText.size() < cchMax - 1 ? sText.size() : cchMax - 1;
    for (size_t i = 0; i < n; ++i)
        pDest[i] = static_cast<MAILWCHAR>(sText[i]);
    pDest[n] = 0;
}

// A text for a field of cchMax characters with its NUL: a longer one is cut
// to whole characters (never half a surrogate pair) and ends with "...".
inline std::u16string ShortenedText(const std::u16string& sText, size_t cchMax) {
    if (cchMax < 4 || sText.size() <= cchMax - 1)
        return sText;
    size_t n = cchMax - 4;
    if (sText[n - 1] >= 0xD800 && sText[n - 1] <= 0xDBFF)
        --n;
    return sText.substr(0, n) + u"...";
}

inline std::u16string FromHost(const MAILWCHAR* pszText) {
    if (pszText == nullptr)
        return std::u16string();
    const MAILWCHAR* pEnd = pszText;
    while (*pEnd != 0)
        ++pEnd;
    return std::u16string(pszText, pEnd);
}

inline const char16_t* HostText(const MAILWCHAR* pszText) {
    return reinterpret_cast<const char16_t*>(pszText);
}
