#include "platform/AnsiCodePage.h"

#include "platform/WinTypes.h"
#include "platform/win32/WideText_win32.h"

namespace platform {

std::u16string AnsiToUtf16(const char* text, std::size_t count) {
    if (text == nullptr || count == 0)
        return std::u16string();
    int n = ::MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(count), nullptr, 0);
    std::u16string out(static_cast<std::size_t>(n > 0 ? n : 0), u'\0');
    if (n > 0)
        ::MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(count), SysText(out.data()), n);
    return out;
}

std::string Utf16ToAnsi(const char16_t* text, std::size_t count) {
    if (text == nullptr || count == 0)
        return std::string();
    int n = ::WideCharToMultiByte(CP_ACP, 0, SysText(text), static_cast<int>(count), nullptr, 0,
                                  nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        ::WideCharToMultiByte(CP_ACP, 0, SysText(text), static_cast<int>(count), out.data(), n,
                              nullptr, nullptr);
    return out;
}

char16_t AnsiCharToUtf16(unsigned char byte) {
    char c = static_cast<char>(byte);
    std::u16string one = AnsiToUtf16(&c, 1);
    return one.size() == 1 ? one[0] : u'?';
}

char Utf16CharToAnsi(char16_t c) {
    std::string one = Utf16ToAnsi(&c, 1);
    return one.size() == 1 ? one[0] : '?';
}

}  // namespace platform
