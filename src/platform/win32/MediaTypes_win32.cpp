#include <windows.h>

#include "platform/MediaTypes.h"

namespace platform {

// The "Content Type" value of HKEY_CLASSES_ROOT\.ext, which installed
// programs register.
std::string SystemMediaType(const std::string& sExtension) {
    const std::wstring key = L"." + std::wstring(sExtension.begin(), sExtension.end());
    wchar_t value[256] = {};
    DWORD cbValue = sizeof value;
    if (::RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), L"Content Type", RRF_RT_REG_SZ, nullptr,
                       value, &cbValue) != ERROR_SUCCESS)
        return std::string();
    std::string type;
    for (const wchar_t* p = value; *p != L'\0'; ++p) {
        if (*p > 0x7F)
            return std::string();  // no media type holds more than ASCII
        type.push_back(static_cast<char>(*p));
    }
    return type;
}

}  // namespace platform
