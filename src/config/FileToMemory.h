// Reads a whole file into a block from GetMemory. With nConvert 1 the result is
// NUL-terminated UTF-16 text (from UTF-8 with a byte-order mark, UTF-16LE with
// one, or the ANSI code page). Returns 0 or a Win32 error code; the caller
// releases the block with FreeMemory. A file larger than dwMaxSize is refused
// with ERROR_FILE_TOO_LARGE before any of it is read.
#pragma once

#include "platform/WinTypes.h"

DWORD FileToMemory(const char16_t* pszPath, void** ppBlock, DWORD* pdwSize, int nConvert,
                   DWORD dwMaxSize = 0x7FFFFFF0);
