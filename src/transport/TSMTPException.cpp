#include "transport/TSMTPException.h"

#include <cstdarg>

#include "platform/LastError.h"
#include "platform/SystemMessage.h"
#include "platform/WideFormat.h"

namespace {

// The message is formatted into a buffer of this many wide characters,
// terminator included; longer output is cut.
constexpr size_t kMessageBufferSize = 4096;

void TrimTrailingBlanks(std::u16string& text) {
    size_t end = text.find_last_not_of(u" \t\r\n");
    text.erase(end == std::u16string::npos ? 0 : end + 1);
}

}  // namespace

TSMTPException::TSMTPException(int kind, const char16_t* format, ...)
    : m_dwError(0), m_nKind(kind) {
    // The last error belongs to whatever failed just before the throw; take it
    // before anything here can touch it.
    DWORD dwError = platform::GetLastError();

    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        m_strMessage = platform::WFormatV(format, args);
        va_end(args);
        if (m_strMessage.size() > kMessageBufferSize - 1)
            m_strMessage.resize(kMessageBufferSize - 1);
    }

    m_dwError = dwError;
    if (platform::FormatSystemMessage(m_dwError, m_strErrorMessage))
        TrimTrailingBlanks(m_strErrorMessage);

    m_strText = m_strMessage;
    if (m_dwError != 0) {
        m_strText += platform::WFormat(u" [ERROR code = %u, Message = ", m_dwError);
        m_strText += m_strErrorMessage;
        m_strText += u"]";
    }
    m_strText += u"\n";

    // Constructing the exception must not disturb the error it reports.
    platform::SetLastError(dwError);
}
