#include "config/CIniSection.h"

#include <cstdint>

#include "config/SystemErrorText.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/NameCase.h"
#include "platform/Profile.h"

namespace {

// The section's pairs fit when the copy is not cut (nSize - 2).
constexpr DWORD kFirstSize = 4096;
// Settings are a few short lines: a file or a line far larger is not one,
// and would cost the host its memory to read.
constexpr std::int64_t kMaxFileSize = 1 << 20;
constexpr std::size_t kMaxLineLength = 64 * 1024;
constexpr DWORD kLargestSize = static_cast<DWORD>(kMaxFileSize) + 2;

std::u16string StripQuotes(const std::u16string& value) {
    if (value.size() > 1 && (value.front() == u'"' || value.front() == u'\'') &&
        value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

}  // namespace

bool CIniSection::Refuse(unsigned long dwCode, const std::u16string& sWhy) {
    m_dwProblem = dwCode;
    m_strProblem = sWhy;
    return false;
}

bool CIniSection::CheckFile(const std::u16string& sFile) {
    // Shared with everyone: looking must not keep anybody out.
    HANDLE h = platform::CreateFileW(sFile.c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD dwError = platform::GetLastError();
        if (dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND)
            return false;
        return Refuse(dwError, SystemErrorText(dwError));
    }
    std::int64_t size = 0;
    BYTE mark[2] = {};
    DWORD dwRead = 0;
    const bool bSized = platform::GetFileSizeEx(h, &size) != 0;
    const bool bRead = bSized && size <= kMaxFileSize && platform::ReadFile(h, mark, 2, &dwRead);
    const DWORD dwError = platform::GetLastError();
    platform::CloseHandle(h);
    if (bSized && size > kMaxFileSize)
        return Refuse(ERROR_FILE_TOO_LARGE, u"it is larger than 1 MiB");
    if (!bRead)
        return Refuse(dwError, SystemErrorText(dwError));
    if (dwRead == 2 && mark[0] == 0xFE && mark[1] == 0xFF)
        return Refuse(ERROR_INVALID_DATA,
                      u"it is UTF-16 big-endian text; save it as UTF-16 (little-endian), UTF-8 or "
                      u"ANSI text");
    return true;
}

bool CIniSection::Read(const std::u16string& sFile, const char16_t* pszSection) {
    m_entries.clear();
    m_strProblem.clear();
    m_dwProblem = 0;
    if (!CheckFile(sFile))
        return false;
    std::u16string buffer;
    DWORD nSize = kFirstSize;
    DWORD nCopied = 0;
    for (;;) {
        buffer.assign(nSize, u'\0');
        nCopied =
            platform::GetPrivateProfileSectionW(pszSection, buffer.data(), nSize, sFile.c_str());
        // A cut copy says so by its length; read again with room for it all.
        if (nCopied != nSize - 2 || nSize >= kLargestSize)
            break;
        nSize = nSize > kLargestSize / 4 ? kLargestSize : nSize * 4;
    }
    buffer.resize(nCopied);
    std::size_t nStart = 0;
    while (nStart < buffer.size()) {
        std::size_t nEnd = buffer.find(u'\0', nStart);
        if (nEnd == std::u16string::npos)
            nEnd = buffer.size();
        const std::u16string_view line(buffer.data() + nStart, nEnd - nStart);
        if (line.size() > kMaxLineLength) {
            m_entries.clear();
            return Refuse(ERROR_INVALID_DATA, u"a line is longer than 64 KiB");
        }
        const std::size_t nEqual = line.find(u'=');
        if (!line.empty() && line[0] != u';' && nEqual != std::u16string_view::npos)
            m_entries.emplace_back(std::u16string(line.substr(0, nEqual)),
                                   StripQuotes(std::u16string(line.substr(nEqual + 1))));
        nStart = nEnd + 1;
    }
    return nCopied != 0;
}

bool CIniSection::GetString(const char16_t* pszKey, std::u16string& sValue) const {
    for (const auto& [sKey, sText] : m_entries) {
        if (platform::SameNameIgnoringCase(sKey, pszKey)) {
            sValue = sText;
            return true;
        }
    }
    return false;
}

int CIniSection::GetInt(const char16_t* pszKey, int nDefault) const {
    std::u16string sValue;
    if (!GetString(pszKey, sValue) || sValue.empty())
        return nDefault;
    // A value without digits (blanks between quotes too) is 0, not the default.
    std::size_t i = sValue.find_first_not_of(u" \t");
    if (i == std::u16string::npos)
        return 0;
    bool bNegative = false;
    if (sValue[i] == u'-' || sValue[i] == u'+')
        bNegative = sValue[i++] == u'-';
    std::uint32_t nValue = 0;
    for (; i < sValue.size() && sValue[i] >= u'0' && sValue[i] <= u'9'; ++i)
        nValue = nValue * 10 + static_cast<std::uint32_t>(sValue[i] - u'0');
    return static_cast<int>(bNegative ? 0u - nValue : nValue);
}
