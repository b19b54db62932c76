#include "platform/SystemMessage.h"

#include "platform/win32/WideText_win32.h"

namespace platform {

bool FormatSystemMessage(DWORD dwCode, std::u16string& text) {
    text.clear();
    wchar_t* buffer = nullptr;
    // The neutral language: the user's default, as the system picks it.
    DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, dwCode, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    if (n == 0 || buffer == nullptr)
        return false;
    text.assign(OwnText(buffer), n);
    ::LocalFree(buffer);
    return true;
}

}  // namespace platform
