#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "platform/CurrentDirectory.h"
#include "platform/LastError.h"
#include "platform/Utf.h"

namespace platform {

DWORD GetCurrentDirectoryW(DWORD nBufferLength, char16_t* buffer) {
    char path[PATH_MAX];
    if (::getcwd(path, sizeof path) == nullptr) {
        SetLastError(Win32ErrorFromErrno(errno));
        return 0;
    }
    std::u16string wide = Utf8ToUtf16(path);
    if (buffer == nullptr || nBufferLength <= wide.size())
        return static_cast<DWORD>(wide.size() + 1);
    wide.copy(buffer, wide.size());
    buffer[wide.size()] = 0;
    return static_cast<DWORD>(wide.size());
}

BOOL SetCurrentDirectoryW(const char16_t* path) {
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (::chdir(Utf16ToUtf8(path).c_str()) != 0) {
        SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : Win32ErrorFromErrno(errno));
        return 0;
    }
    return 1;
}

}  // namespace platform
