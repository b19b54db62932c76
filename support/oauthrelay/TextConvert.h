// Text conversions of OAuthRelay: the UTF-16 arguments become UTF-8 inside the
// library, and the body is encoded in the charset the caller names.
#pragma once

#include <string>
#include <string_view>

namespace oauthrelay {

// UTF-8 and UTF-16 through vxutil, the host product's support library, as the
// provider converts them: an unpaired surrogate, and each malformed UTF-8
// sequence, becomes U+FFFD. std::bad_alloc when there is no memory.
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);
// A NUL-terminated argument; null is the empty string.
std::u16string ArgumentText(const char16_t* pszText);

// The body's bytes in the given charset. utf-8, us-ascii, iso-8859-1 and
// windows-1252 (and their usual aliases) are known; strCharsetUsed receives the
// name that labels the bytes. A charset that is unknown, or that cannot hold
// every character of the text, gives UTF-8 labelled "utf-8", so that no
// character is ever lost.
std::string EncodeCharset(std::u16string_view text, std::string_view charset,
                          std::string& strCharsetUsed);

// Every byte but ASCII letters, digits and the characters of keep as %XX.
std::string PercentEncode(std::string_view text, std::string_view keep);

std::string AsciiLower(std::string_view text);
std::string Trim(std::string_view text);
bool IsAscii(std::string_view text);

}  // namespace oauthrelay
