#include "platform/Registry.h"

#include "platform/win32/WideText_win32.h"

namespace platform {

LONG RegOpenKeyExW(HKEY hKey, const char16_t* subKey, DWORD options, DWORD samDesired,
                   HKEY* phkResult) {
    return ::RegOpenKeyExW(hKey, SysText(subKey), options, samDesired, phkResult);
}

LONG RegOpenKeyW(HKEY hKey, const char16_t* subKey, HKEY* phkResult) {
    return ::RegOpenKeyW(hKey, SysText(subKey), phkResult);
}

LONG RegCreateKeyExW(HKEY hKey, const char16_t* subKey, DWORD samDesired, HKEY* phkResult) {
    return ::RegCreateKeyExW(hKey, SysText(subKey), 0, nullptr, REG_OPTION_NON_VOLATILE, samDesired,
                             nullptr, phkResult, nullptr);
}

LONG RegCreateKeyW(HKEY hKey, const char16_t* subKey, HKEY* phkResult) {
    return ::RegCreateKeyW(hKey, SysText(subKey), phkResult);
}

LONG RegQueryValueExW(HKEY hKey, const char16_t* valueName, DWORD* pType, BYTE* data,
                      DWORD* pcbData) {
    return ::RegQueryValueExW(hKey, SysText(valueName), nullptr, pType, data, pcbData);
}

LONG RegQueryValueExA(HKEY hKey, const char* valueName, DWORD* pType, BYTE* data, DWORD* pcbData) {
    return ::RegQueryValueExA(hKey, valueName, nullptr, pType, data, pcbData);
}

LONG RegSetValueExW(HKEY hKey, const char16_t* valueName, DWORD type, const BYTE* data,
                    DWORD cbData) {
    return ::RegSetValueExW(hKey, SysText(valueName), 0, type, data, cbData);
}

LONG RegDeleteValueW(HKEY hKey, const char16_t* valueName) {
    return ::RegDeleteValueW(hKey, SysText(valueName));
}

}  // namespace platform
