// The system's text for an error code, line break included: on Windows what
// FormatMessageW answers (Wine's texts are not Windows'), elsewhere the Windows
// text the platform layer's table must hold.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "platform/WinTypes.h"

#if defined(_WIN32)

inline std::u16string SystemText(DWORD code) {
    wchar_t* buffer = nullptr;
    DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::u16string text;
    if (n != 0 && buffer != nullptr)
        text.assign(reinterpret_cast<const char16_t*>(buffer), n);
    ::LocalFree(buffer);
    return text;
}

#else

inline std::u16string SystemText(DWORD code) {
    static const std::map<DWORD, std::u16string> kTexts = {
        {0, u"The operation completed successfully.\r\n"},
        {2, u"The system cannot find the file specified.\r\n"},
        {5, u"Access is denied.\r\n"},
        {10061,
         u"No connection could be made because the target machine actively refused it.\r\n"}};
    const auto it = kTexts.find(code);
    EXPECT_TRUE(it != kTexts.end()) << "no Windows text noted for " << code;
    return it == kTexts.end() ? std::u16string() : it->second;
}

#endif

// As the exception quotes it.
inline std::u16string SystemTextLine(DWORD code) {
    std::u16string text = SystemText(code);
    text.erase(text.find_last_not_of(u" \t\r\n") + 1);
    return text;
}
