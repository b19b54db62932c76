// The system's text for an error code, line break included: on Windows what
// FormatMessageW answers (Wine's texts are not Windows'), elsewhere the Windows
// text the platform layer's table must hold.
#pragma once

#include <gtest/gtest.h>

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
    switch (code) {
        case 0:
            return u"The operation completed successfully.\r\n";
        case 2:
            return u"The system cannot find the file specified.\r\n";
        case 5:
            return u"Access is denied.\r\n";
        case 10061:
            return u"No connection could be made because the target machine actively refused "
                   u"it.\r\n";
        default:
            ADD_FAILURE() << "no Windows text noted for " << code;
            return std::u16string();
    }
}

#endif

// As the exception quotes it.
inline std::u16string SystemTextLine(DWORD code) {
    std::u16string text = SystemText(code);
    text.erase(text.find_last_not_of(u" \t\r\n") + 1);
    return text;
}
