// UTF-16 and UTF-8 for the platform backends (file names, environment,
// system texts). Malformed input becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// An unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
// A malformed sequence (a stray byte, an overlong form, a surrogate, a code
// point above U+10FFFF, a sequence cut short) becomes one U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);

}  // namespace platform
