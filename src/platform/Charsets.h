// Text in a charset that MIME names: the names known here, each with the
// Windows code page it stands for, and the conversion into it.
#pragma once

#include <string>
#include <string_view>

#include "platform/WinTypes.h"

namespace platform {

// The code page of a charset name (IANA's, in any case): "windows-1252"
// 1252, "iso-8859-1" 28591, "shift_jis" 932, ...; 0 for a name not known here.
UINT CodePageOfCharset(std::u16string_view charset);

// The bytes of the text in the charset; false when the name is not known
// here or the charset has no form for some character of the text (nothing is
// replaced by a look-alike or a "?").
bool EncodeInCharset(std::u16string_view text, std::u16string_view charset, std::string& bytes);

// What the backend does for EncodeInCharset: the conversion into a known
// code page (name is the charset's name in the table).
bool EncodeInCodePage(std::u16string_view text, UINT codePage, const char* name,
                      std::string& bytes);

}  // namespace platform
