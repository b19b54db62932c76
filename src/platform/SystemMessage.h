// The system's message texts for Win32 and Winsock error codes, as
// FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS)
// gives them with the neutral language: the text with its trailing "\r\n".
#pragma once

#include <string>

#include "platform/WinTypes.h"

namespace platform {

// Returns false (and leaves text empty) when the system has no text for dwCode.
bool FormatSystemMessage(DWORD dwCode, std::u16string& text);

}  // namespace platform
