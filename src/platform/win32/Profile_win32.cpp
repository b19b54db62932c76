#include "platform/Profile.h"

#include "platform/win32/WideText_win32.h"

namespace platform {

DWORD GetPrivateProfileStringW(const char16_t* pszSection, const char16_t* pszKey,
                               const char16_t* pszDefault, char16_t* pszReturned, DWORD nSize,
                               const char16_t* pszFile) {
    if (pszReturned == nullptr || nSize == 0)
        return 0;
    return ::GetPrivateProfileStringW(SysText(pszSection), SysText(pszKey), SysText(pszDefault),
                                      SysText(pszReturned), nSize, SysText(pszFile));
}

DWORD GetPrivateProfileSectionW(const char16_t* pszSection, char16_t* pszReturned, DWORD nSize,
                                const char16_t* pszFile) {
    if (pszReturned == nullptr || nSize == 0)
        return 0;
    return ::GetPrivateProfileSectionW(SysText(pszSection), SysText(pszReturned), nSize,
                                       SysText(pszFile));
}

UINT GetPrivateProfileIntW(const char16_t* pszSection, const char16_t* pszKey, int nDefault,
                           const char16_t* pszFile) {
    return ::GetPrivateProfileIntW(SysText(pszSection), SysText(pszKey), nDefault,
                                   SysText(pszFile));
}

}  // namespace platform
