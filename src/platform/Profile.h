// The INI profile functions with the Windows semantics: section and key names
// compared without regard to case, blanks and tabs around names and values
// dropped, one pair of surrounding quotes (" or ') stripped from a value, the
// default for a missing file, section or key, and the copy cut to nSize - 1
// characters plus NUL. The first section of a name and its first key of a
// name win. The file is text in UTF-16LE with a byte-order mark, UTF-8 with or
// without one, or the ANSI code page (Windows-1252); lines end in CR LF or LF.
#pragma once

#include "platform/WinTypes.h"

namespace platform {

// Returns the number of characters copied, without the NUL. A null section
// lists the section names, a null key the keys of the section, each ended by a
// NUL with one more NUL after the last (cut to nSize - 2 then).
DWORD GetPrivateProfileStringW(const char16_t* pszSection, const char16_t* pszKey,
                               const char16_t* pszDefault, char16_t* pszReturned, DWORD nSize,
                               const char16_t* pszFile);

// The pairs of the first section of that name, each "key=value" (the value
// as it stands, quotes included) ended by a NUL, with one more NUL after the
// last; cut to nSize - 2 characters when they do not fit, as Windows does.
// The file is read once.
DWORD GetPrivateProfileSectionW(const char16_t* pszSection, char16_t* pszReturned, DWORD nSize,
                                const char16_t* pszFile);

// The value's optional sign and leading decimal digits; 0 when it starts with
// anything else; nDefault when the key or its value is missing.
UINT GetPrivateProfileIntW(const char16_t* pszSection, const char16_t* pszKey, int nDefault,
                           const char16_t* pszFile);

}  // namespace platform
