#include <string>

#include "platform/Charsets.h"
#include "platform/win32/WideText_win32.h"

namespace platform {

// WideCharToMultiByte puts a look-alike or a "?" where the code page has no
// character, and takes no flags for some code pages: the bytes count only
// when they read back as the text.
bool EncodeInCodePage(std::u16string_view text, UINT codePage, const char* /*name*/,
                      std::string& bytes) {
    bytes.clear();
    if (text.empty())
        return ::IsValidCodePage(codePage) != 0;
    const auto* wide = SysText(text.data());
    const int nWide = static_cast<int>(text.size());
    const int nBytes =
        ::WideCharToMultiByte(codePage, 0, wide, nWide, nullptr, 0, nullptr, nullptr);
    if (nBytes <= 0)
        return false;
    bytes.resize(static_cast<size_t>(nBytes));
    ::WideCharToMultiByte(codePage, 0, wide, nWide, bytes.data(), nBytes, nullptr, nullptr);
    const int nBack = ::MultiByteToWideChar(codePage, 0, bytes.data(), nBytes, nullptr, 0);
    std::wstring back(static_cast<size_t>(nBack > 0 ? nBack : 0), L'\0');
    if (nBack > 0)
        ::MultiByteToWideChar(codePage, 0, bytes.data(), nBytes, back.data(), nBack);
    if (back.size() != text.size() || back.compare(0, back.size(), wide, text.size()) != 0) {
        bytes.clear();
        return false;
    }
    return true;
}

}  // namespace platform
