// The one exception type of the SMTP and transport classes. It captures the
// thread's last error at construction, with the system's text for it.
#pragma once

#include <string>

#include "platform/WinTypes.h"

class TSMTPException {
public:
    // kind: the log level the failure is reported at (3 errors, 4 capability
    // mismatch, 6 socket-state faults). format: wide printf-style format.
    TSMTPException(int kind, const char16_t* format, ...);

    std::u16string GetErrorText() const { return m_strText; }

    DWORD m_dwError;
    std::u16string m_strErrorMessage;
    std::u16string m_strMessage;
    int m_nKind;
    std::u16string m_strText;
};
