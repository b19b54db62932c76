// String resources of a module (LoadStringW).
//
// On Windows a module's strings are its STRINGTABLE resources. On POSIX a
// module handle is a handle of the dynamic loader (dlopen); a module that
// carries a string table exports it under the name of
// SMTPMAIL_STRING_TABLE_SYMBOL as an array of ModuleString ended by an entry
// whose text is null. A module without the table, or without the id, gives no
// text.
#pragma once

#include "platform/WinTypes.h"

#define SMTPMAIL_STRING_TABLE_SYMBOL "SmtpMailStringTable"

namespace platform {

struct ModuleString {
    UINT uID;
    const char16_t* pszText;
};

// Copies the text of uID into buffer (at most cchBufferMax - 1 characters and a
// NUL) and returns the number of characters copied; 0 when there is none.
int LoadStringW(HMODULE hModule, UINT uID, char16_t* buffer, int cchBufferMax);

}  // namespace platform
