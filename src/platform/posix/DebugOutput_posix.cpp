#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/DebugOutput.h"
#include "platform/Utf.h"

namespace platform {

void OutputDebugStringW(const char16_t* text) {
    const char* on = std::getenv("SMTPMAIL_DEBUG_OUTPUT");
    if (text == nullptr || on == nullptr || *on == '\0' || std::strcmp(on, "0") == 0)
        return;
    std::fputs(Utf16ToUtf8(text).c_str(), stderr);
    std::fputc('\n', stderr);
}

// There is no keyboard to sample here: no key is ever down.
std::int16_t GetAsyncKeyState(int /*vKey*/) {
    return 0;
}

}  // namespace platform
