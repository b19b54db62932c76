#include "platform/DynamicLibrary.h"

#include "platform/win32/WideText_win32.h"

namespace platform {

HMODULE LoadLibraryW(const char16_t* name) {
    if (name == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return ::LoadLibraryW(SysText(name));
}

HMODULE LoadSystemLibrary(const char16_t* name) {
    if (name == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return ::LoadLibraryExW(SysText(name), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace platform
