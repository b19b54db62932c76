// The registry: keys with REG_DWORD, REG_SZ and REG_BINARY values.
//
// On Windows these are the system's registry functions on the real
// HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE. On POSIX the registry is a
// persistent store in files below a root directory: one directory per key
// (names compared without regard to case, as Windows does), one file per
// value. The root is SMTPMAIL_REGISTRY_ROOT, or $HOME/.smtpmail/registry, or
// SetRegistryRoot for tests. HKEY_LOCAL_MACHINE refuses writes with
// ERROR_ACCESS_DENIED when its directory is not writable or
// SMTPMAIL_REGISTRY_HKLM_READONLY is set, as the machine-wide hive does for a
// user without administrator rights.
#pragma once

#include <string>

#include "platform/WinTypes.h"

#if defined(_WIN32)

namespace platform {
using ::HKEY;
using ::RegCloseKey;
}  // namespace platform

#else

namespace platform {
struct RegistryKey;
using HKEY = RegistryKey*;
LONG RegCloseKey(HKEY hKey);
}  // namespace platform

extern const platform::HKEY HKEY_CURRENT_USER;
extern const platform::HKEY HKEY_LOCAL_MACHINE;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;

constexpr DWORD KEY_QUERY_VALUE = 0x0001;
constexpr DWORD KEY_SET_VALUE = 0x0002;
constexpr DWORD KEY_READ = 0x20019;
constexpr DWORD KEY_WRITE = 0x20006;
constexpr DWORD KEY_ALL_ACCESS = 0xF003F;
constexpr DWORD KEY_WOW64_32KEY = 0x0200;

#endif

namespace platform {

// Every function returns ERROR_SUCCESS or a Win32 error code.
LONG RegOpenKeyExW(HKEY hKey, const char16_t* subKey, DWORD options, DWORD samDesired,
                   HKEY* phkResult);
LONG RegOpenKeyW(HKEY hKey, const char16_t* subKey, HKEY* phkResult);
LONG RegCreateKeyExW(HKEY hKey, const char16_t* subKey, DWORD samDesired, HKEY* phkResult);
LONG RegCreateKeyW(HKEY hKey, const char16_t* subKey, HKEY* phkResult);
// data may be null to ask for the size; *pcbData is in/out. REG_SZ data is
// UTF-16 with its NUL.
LONG RegQueryValueExW(HKEY hKey, const char16_t* valueName, DWORD* pType, BYTE* data,
                      DWORD* pcbData);
// Narrow form: REG_SZ values come back in the ANSI code page.
LONG RegQueryValueExA(HKEY hKey, const char* valueName, DWORD* pType, BYTE* data, DWORD* pcbData);
LONG RegSetValueExW(HKEY hKey, const char16_t* valueName, DWORD type, const BYTE* data,
                    DWORD cbData);
LONG RegDeleteValueW(HKEY hKey, const char16_t* valueName);

// The registry view every key of this process opens in from now on
// (KEY_WOW64_32KEY: the 32-bit view, HKLM\SOFTWARE\WOW6432Node, that a 32-bit
// program sees on 64-bit Windows); 0, the process's own, by default. The
// store in files has one view.
void SetRegistryView(DWORD samView);

#if !defined(_WIN32)
// Test and tool hooks: where the store lives.
void SetRegistryRoot(const std::string& directory);
std::string GetRegistryRoot();
#endif

}  // namespace platform
