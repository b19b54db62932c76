// The system's ANSI code page, as MultiByteToWideChar and WideCharToMultiByte
// with CP_ACP see it. On Windows it is the system's own; on POSIX it is
// Windows-1252, the code page of the host product's installations.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// One byte as UTF-16. The five bytes Windows-1252 leaves undefined become the
// C1 control of the same value, as Windows converts them.
char16_t AnsiCharToUtf16(unsigned char byte);
// One UTF-16 code unit as a byte; '?' for a character the code page lacks.
char Utf16CharToAnsi(char16_t c);

std::u16string AnsiToUtf16(const char* text, std::size_t count);
// A surrogate pair is one character the code page lacks: one '?'.
std::string Utf16ToAnsi(const char16_t* text, std::size_t count);

}  // namespace platform
