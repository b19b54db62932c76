// Text conversions of the sample host: the command line arrives as UTF-8, the
// provider speaks 16-bit wide text (UTF-16).
#pragma once

#include <string>

#include "mailapi.h"

namespace hosttext {

using WString = std::basic_string<MAILWCHAR>;

// UTF-8 to UTF-16. Returns false (and leaves out unchanged) for malformed
// UTF-8: overlong forms, surrogates, code points above U+10FFFF, cut sequences.
bool FromUtf8(const std::string& in, WString& out);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string ToUtf8(const MAILWCHAR* in);
std::string ToUtf8(const WString& in);

}  // namespace hosttext
