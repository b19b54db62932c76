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
    // False when the file or the section is missing or cannot be read.
    bool Read(const std::u16string& sFile, const char16_t* pszSection);
    // False when the key is missing; an empty value counts as present.
    bool GetString(const char16_t* pszKey, std::u16string& sValue) const;
    // The value's optional sign and leading decimal digits (0 when it starts
    // with anything else); nDefault when the key or its value is missing.
    int GetInt(const char16_t* pszKey, int nDefault) const;

private:
    std::vector<std::pair<std::u16string, std::u16string>> m_entries;
};
