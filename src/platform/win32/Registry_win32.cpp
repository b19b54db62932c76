#include "platform/Registry.h"

#include "platform/win32/WideText_win32.h"

namespace platform {

namespace {

DWORD g_samView = 0;

}  // namespace

void SetRegistryView(DWORD samView) {
    g_samView = samView;
}

LONG RegOpenKeyExW(HKEY hKey, const char16_t* subKey, DWORD options, DWORD samDesired,
                   HKEY* phkResult) {
    return ::RegOpenKeyExW(hKey, SysText(subKey), options, samDesired | g_samView, phkResult);
}

// RegOpenKeyW and RegCreateKeyW take no view: with one, their Ex forms with
// the access they ask for themselves.
LONG RegOpenKeyW(HKEY hKey, const char16_t* subKey, HKEY* phkResult) {
    if (g_samView != 0)
        return RegOpenKeyExW(hKey, subKey, 0, MAXIMUM_ALLOWED, phkResult);
    return ::RegOpenKeyW(hKey, SysText(subKey), phkResult);
}

LONG RegCreateKeyExW(HKEY hKey, const char16_t* subKey, DWORD samDesired, HKEY* phkResult) {
    return ::RegCreateKeyExW(hKey, SysText(subKey), 0, nullptr, REG_OPTION_NON_VOLATILE,
                             samDesired | g_samView, nullptr, phkResult, nullptr);
}

LONG RegCreateKeyW(HKEY hKey, const char16_t* subKey, HKEY* phkResult) {
    if (g_samView != 0)
        return RegCreateKeyExW(hKey, subKey, MAXIMUM_ALLOWED, phkResult);
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
