// Files, as CreateFileW, ReadFile, WriteFile, GetFileSizeEx and CloseHandle
// offer them. Failures set the thread's last error to the Win32 code
// (2 file not found, 3 path not found, 5 access denied, 32 sharing violation).
// What is opened for reading must be a regular disk file: anything else (a
// directory, a device, a pipe) is refused with ERROR_ACCESS_DENIED at once,
// so that nobody can make the host wait by naming one.
//
// On POSIX the share mode follows the Windows rule with advisory locks:
// share mode 0 (or any writer) takes an exclusive lock, a reader that shares
// reading a shared one, so readers do not exclude readers, and two users of
// this layer see the sharing violation Windows would report.
#pragma once

#include <cstdint>
#include <string>

#include "platform/WinTypes.h"

#if !defined(_WIN32)

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;

constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;

constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;

constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000u;

extern const HANDLE INVALID_HANDLE_VALUE;

#endif

namespace platform {

HANDLE CreateFileW(const char16_t* path, DWORD desiredAccess, DWORD shareMode,
                   DWORD creationDisposition, DWORD flagsAndAttributes);
BOOL GetFileSizeEx(HANDLE hFile, std::int64_t* size);
// Reads up to toRead bytes; *read gets the count (0 at the end of the file).
BOOL ReadFile(HANDLE hFile, void* buffer, DWORD toRead, DWORD* read);
BOOL WriteFile(HANDLE hFile, const void* buffer, DWORD toWrite, DWORD* written);

#if defined(_WIN32)
using ::CloseHandle;
#else
BOOL CloseHandle(HANDLE hFile);

// Path text for the file system: UTF-16 to the system's narrow form (UTF-8).
std::string NativePath(const char16_t* path);
#endif

}  // namespace platform
