// The function trace: a scope object that writes an "enter" record when a
// traced function starts and an "exit" record with the function's result when
// it ends, also when it leaves by an exception.
//
//     bool bResult = false;                  // declared BEFORE the scope, so that
//     TFunctionTrace trace(u"TSMTPConnection::Connect");  // it still lives when
//     trace.Bind(&bResult);                  // the exit record reads it
//     trace.Detail(u"host='%s'", host.c_str());
//
// A bound variable must be declared before the scope object: locals die in
// reverse order, and the exit record reads the variable.
#pragma once

#include <string>

#include "diag/DiagPrint.h"
#include "platform/WinTypes.h"
#include "vxstring.h"

class TFunctionTrace {
public:
    explicit TFunctionTrace(const char16_t* function);
    ~TFunctionTrace();
    TFunctionTrace(const TFunctionTrace&) = delete;
    TFunctionTrace& operator=(const TFunctionTrace&) = delete;

    // What the exit record shows: a copy of an int, or the final value of a
    // variable of the traced function.
    void Bind(int value);
    void Bind(const bool* value);
    void Bind(const int* value);
    void Bind(const DWORD* value);
    void Bind(const std::string* value);

    // A detail line: Logging::WriteVarLog with this function's name. The
    // arguments go on as printf arguments ("%s" a wide string, "%hs" a narrow one).
    template <typename... Args>
    void Detail(const char16_t* format, Args... args) const {
        Logging::WriteVarLog(nullptr, DIAG_LOG_TYPE, DIAG_LOG_LEVEL, format, nullptr, m_pszFunction,
                             args...);
    }

    const char16_t* Function() const { return m_pszFunction; }

    // The text the exit record carries, as rendered now.
    std::u16string ResultText() const;

private:
    enum class Kind { IntValue, BoolPtr, IntPtr, DwordPtr, StringPtr };

    const char16_t* m_pszFunction;
    Kind m_kind = Kind::IntValue;
    int m_nValue = 0;
    const void* m_pValue = nullptr;
};
