// Debugger output and keyboard state. On POSIX the debugger is standard error,
// written only when SMTPMAIL_DEBUG_OUTPUT is set to a non-empty value other
// than "0"; no key is ever down.
#pragma once

#include <cstdint>

#include "platform/WinTypes.h"

#if !defined(_WIN32)
// Virtual-key codes of the Shift keys sampled at log-in.
constexpr int VK_LSHIFT = 0xA0;
constexpr int VK_RSHIFT = 0xA1;
#endif

namespace platform {

void OutputDebugStringW(const char16_t* text);

#if defined(_WIN32)
using ::GetAsyncKeyState;
#else
std::int16_t GetAsyncKeyState(int vKey);
#endif

}  // namespace platform
