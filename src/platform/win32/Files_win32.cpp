#include "platform/Files.h"

#include "platform/win32/WideText_win32.h"

namespace platform {

HANDLE CreateFileW(const char16_t* path, DWORD desiredAccess, DWORD shareMode,
                   DWORD creationDisposition, DWORD flagsAndAttributes) {
    if (path == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = ::CreateFileW(SysText(path), desiredAccess, shareMode, nullptr, creationDisposition,
                             flagsAndAttributes, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return h;
    // What the library reads must be a file on a disk: a pipe, a console or
    // a device could hold the host's thread. A device such as NUL may still
    // be written to.
    DWORD type = ::GetFileType(h);
    bool write = (desiredAccess & GENERIC_WRITE) != 0;
    if (type != FILE_TYPE_DISK && !(write && type == FILE_TYPE_CHAR)) {
        ::CloseHandle(h);
        ::SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    ::SetLastError(ERROR_SUCCESS);
    return h;
}

BOOL GetFileSizeEx(HANDLE hFile, std::int64_t* size) {
    if (size == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    LARGE_INTEGER li{};
    if (!::GetFileSizeEx(hFile, &li))
        return FALSE;
    *size = li.QuadPart;
    return TRUE;
}

BOOL ReadFile(HANDLE hFile, void* buffer, DWORD toRead, DWORD* read) {
    if (read != nullptr)
        *read = 0;
    if (buffer == nullptr && toRead > 0) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Whole requests, as the POSIX backend gives them: stop only at the end.
    DWORD total = 0;
    auto* p = static_cast<char*>(buffer);
    while (total < toRead) {
        DWORD n = 0;
        if (!::ReadFile(hFile, p + total, toRead - total, &n, nullptr)) {
            if (read != nullptr)
                *read = total;
            return FALSE;
        }
        if (n == 0)
            break;
        total += n;
    }
    if (read != nullptr)
        *read = total;
    return TRUE;
}

BOOL WriteFile(HANDLE hFile, const void* buffer, DWORD toWrite, DWORD* written) {
    if (written != nullptr)
        *written = 0;
    if (buffer == nullptr && toWrite > 0) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD total = 0;
    const auto* p = static_cast<const char*>(buffer);
    while (total < toWrite) {
        DWORD n = 0;
        if (!::WriteFile(hFile, p + total, toWrite - total, &n, nullptr)) {
            if (written != nullptr)
                *written = total;
            return FALSE;
        }
        total += n;
    }
    if (written != nullptr)
        *written = total;
    return TRUE;
}

}  // namespace platform
