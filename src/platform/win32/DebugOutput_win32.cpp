#include "platform/DebugOutput.h"

#include "platform/win32/WideText_win32.h"

namespace platform {

void OutputDebugStringW(const char16_t* text) {
    if (text != nullptr)
        ::OutputDebugStringW(SysText(text));
}

}  // namespace platform
