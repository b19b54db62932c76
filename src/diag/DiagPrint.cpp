#include "diag/DiagPrint.h"

#include <string>

#include "vxstring.h"

void DiagPrintV(const char16_t* format, va_list args) {
    if (format == nullptr || *format == 0)
        return;
    std::u16string f(format);
    if (f.back() == u'\n')
        f.pop_back();
    Logging::WriteVarLog2(nullptr, DIAG_LOG_TYPE, DIAG_LOG_LEVEL, f.c_str(), nullptr, nullptr,
                          args);
}

void DiagPrint(const char16_t* format, ...) {
    va_list ap;
    va_start(ap, format);
    DiagPrintV(format, ap);
    va_end(ap);
}
