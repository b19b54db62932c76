// The process's current directory, as GetCurrentDirectoryW and
// SetCurrentDirectoryW see it.
#pragma once

#include <string>

#include "platform/WinTypes.h"

namespace platform {

// Copies the directory into buffer (nBufferLength characters) and returns its
// length; 0 on failure, or the size needed when the buffer is too small.
DWORD GetCurrentDirectoryW(DWORD nBufferLength, char16_t* buffer);
BOOL SetCurrentDirectoryW(const char16_t* path);

}  // namespace platform
