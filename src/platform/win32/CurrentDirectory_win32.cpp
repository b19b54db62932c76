#include "platform/CurrentDirectory.h"

#include "platform/win32/WideText_win32.h"

namespace platform {

DWORD GetCurrentDirectoryW(DWORD nBufferLength, char16_t* buffer) {
    return ::GetCurrentDirectoryW(nBufferLength, SysText(buffer));
}

BOOL SetCurrentDirectoryW(const char16_t* path) {
    return ::SetCurrentDirectoryW(SysText(path));
}

}  // namespace platform
