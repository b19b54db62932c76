// The diagnostic printer: a wide printf-style line handed to the logging
// library (Logging::WriteVarLog2, null session, type 10, level 7). A null or
// empty format writes nothing; one trailing line feed is dropped.
#pragma once

#include <cstdarg>

void DiagPrint(const char16_t* format, ...);
void DiagPrintV(const char16_t* format, va_list args);

// The session, type and level every call into the logging library passes.
constexpr int DIAG_LOG_TYPE = 10;
constexpr int DIAG_LOG_LEVEL = 7;
