#include "diag/FunctionTrace.h"

#include "diag/DiagPrint.h"
#include "platform/WideFormat.h"
#include "vxstring.h"
#include "vxutil.h"

TFunctionTrace::TFunctionTrace(const char16_t* function) : m_pszFunction(function) {
    Logging::WriteLog(nullptr, DIAG_LOG_TYPE, DIAG_LOG_LEVEL, u"", u"enter", m_pszFunction);
}

TFunctionTrace::~TFunctionTrace() {
    std::u16string text = ResultText();
    Logging::WriteLog(nullptr, DIAG_LOG_TYPE, DIAG_LOG_LEVEL, text.c_str(), u"exit", m_pszFunction);
}

void TFunctionTrace::Bind(int value) {
    m_kind = Kind::IntValue;
    m_nValue = value;
    m_pValue = nullptr;
}

void TFunctionTrace::Bind(const bool* value) {
    m_kind = Kind::BoolPtr;
    m_pValue = value;
}

void TFunctionTrace::Bind(const int* value) {
    m_kind = Kind::IntPtr;
    m_pValue = value;
}

void TFunctionTrace::Bind(const DWORD* value) {
    m_kind = Kind::DwordPtr;
    m_pValue = value;
}

void TFunctionTrace::Bind(const std::string* value) {
    m_kind = Kind::StringPtr;
    m_pValue = value;
}

namespace {

// Decimal or hexadecimal digits of a value, for the exit records: every
// traced call writes one, so no general formatter runs for it.
std::u16string Digits(unsigned long long value, unsigned base) {
    char16_t buffer[24];
    char16_t* p = buffer + 24;
    do {
        const unsigned digit = static_cast<unsigned>(value % base);
        *--p = static_cast<char16_t>(digit < 10 ? u'0' + digit : u'a' + digit - 10);
        value /= base;
    } while (value != 0);
    return std::u16string(p, buffer + 24);
}

std::u16string Signed(int value) {
    return value < 0 ? u"-" + Digits(0ull - static_cast<unsigned long long>(value), 10)
                     : Digits(static_cast<unsigned long long>(value), 10);
}

}  // namespace

std::u16string TFunctionTrace::ResultText() const {
    switch (m_kind) {
        case Kind::IntValue:
            return u"int:" + Signed(m_nValue);
        case Kind::BoolPtr: {
            std::u16string text = u"bool*:";
            if (m_pValue != nullptr)
                text += *static_cast<const bool*>(m_pValue) ? u"true" : u"false";
            return text;
        }
        case Kind::IntPtr:
            return m_pValue == nullptr ? std::u16string(u"int*:")
                                       : u"int*:" + Signed(*static_cast<const int*>(m_pValue));
        case Kind::DwordPtr:
            return m_pValue == nullptr
                       ? std::u16string(u"DWORD*:")
                       : u"DWORD*:" + Digits(*static_cast<const DWORD*>(m_pValue), 16);
        case Kind::StringPtr: {
            if (m_pValue == nullptr)
                return std::u16string();
            const auto& s = *static_cast<const std::string*>(m_pValue);
            std::u16string head;
            strAnsiToWide(head, s.data(), static_cast<int>(s.size() < 100 ? s.size() : 100), CP_ACP,
                          false);
            return u"string(" + Signed(static_cast<int>(s.size())) + u"):" + head;
        }
    }
    return std::u16string();
}
