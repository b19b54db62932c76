// printf-style formatting of 16-bit wide formats, as the Windows C runtime does
// it for wide formats: "%s" takes a wide string, "%hs" a narrow one, "%ls" a
// wide one. Supported conversions: d i u x X o c s p n(ignored) % with flags
// "-+ #0", width and precision (also "*"), and the length marks h hh l ll z I64.
// The logging library, the exceptions and the core share this one formatter.
#pragma once

#include <cstdarg>
#include <string>

namespace platform {

std::u16string WFormatV(const char16_t* format, va_list args);
std::u16string WFormat(const char16_t* format, ...);

}  // namespace platform
