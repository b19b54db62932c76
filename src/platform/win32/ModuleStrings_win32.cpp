#include "platform/ModuleStrings.h"

#include "platform/win32/WideText_win32.h"

namespace platform {

int LoadStringW(HMODULE hModule, UINT uID, char16_t* buffer, int cchBufferMax) {
    // A buffer size of 0 would ask Windows for a pointer into the resource
    // instead of a copy.
    if (hModule == nullptr || buffer == nullptr || cchBufferMax <= 0)
        return 0;
    buffer[0] = 0;
    int n = ::LoadStringW(hModule, uID, SysText(buffer), cchBufferMax);
    return n > 0 ? n : 0;
}

}  // namespace platform
