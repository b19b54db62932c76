// One section of an INI file, read whole with one read of the file: values
// of any length, looked up without regard to the case of their names (the
// first key of a name wins), with one pair of surrounding quotes stripped,
// as the profile functions give them.
#pragma once

#include <string>
#include <utility>
#include <vector>

class CIniSection {
public:
    // False when the file or the section is missing or cannot be used; then
    // Problem() says why the file cannot be used (empty when it is missing).
    // A file over 1 MiB, one in UTF-16 big-endian (which the profile
    // functions take for ANSI text) and a line of the section over 64 KiB
    // are refused; the size is looked at before the file is read.
    bool Read(const std::u16string& sFile, const char16_t* pszSection);
    const std::u16string& Problem() const { return m_strProblem; }
    // The Win32 code of the problem (0 when there is none).
    unsigned long ProblemCode() const { return m_dwProblem; }
    // False when the key is missing; an empty value counts as present.
    bool GetString(const char16_t* pszKey, std::u16string& sValue) const;
    // The value's optional sign and leading decimal digits (0 when it starts
    // with anything else); nDefault when the key or its value is missing.
    int GetInt(const char16_t* pszKey, int nDefault) const;

private:
    bool Refuse(unsigned long dwCode, const std::u16string& sWhy);
    // Opens the file to look at its size and first bytes; false with the
    // problem set when it cannot be used.
    bool CheckFile(const std::u16string& sFile);

    std::vector<std::pair<std::u16string, std::u16string>> m_entries;
    std::u16string m_strProblem;
    unsigned long m_dwProblem = 0;
};
