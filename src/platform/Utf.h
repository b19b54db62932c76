// UTF-16 and UTF-8 for the platform backends (file names, environment,
// system texts). Malformed input becomes U+FFFD.
#pragma once

#include <string>

namespace platform {

std::string Utf16ToUtf8(const std::u16string& text);
std::u16string Utf8ToUtf16(const std::string& text);

}  // namespace platform
