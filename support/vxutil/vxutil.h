// vxutil: the host product's Base64 and string helpers, as the provider calls
// them. Code page 0 is the system's ANSI code page (Windows-1252 here) and
// 65001 is UTF-8.
#pragma once

#include <cstddef>
#include <string>

#if defined(_WIN32)
#if defined(VXUTIL_BUILD)
#define VXUTIL_API __declspec(dllexport)
#else
#define VXUTIL_API __declspec(dllimport)
#endif
#else
#define VXUTIL_API __attribute__((visibility("default")))
#endif

// The code page numbers of Windows (its own headers define them as macros).
#ifndef CP_ACP
constexpr unsigned CP_ACP = 0;
#endif
#ifndef CP_UTF8
constexpr unsigned CP_UTF8 = 65001;
#endif

// No function lets an exception out: each module carries its own C++ runtime.

// Replaces out with the standard Base64 text of the bytes, one unbroken run.
// Returns the length of the text, or -1 when there is no memory for it.
VXUTIL_API int EncodeBase64(std::string& out, const unsigned char* data, size_t len);

// Decodes len characters of Base64 text into out and returns the number of
// bytes written, or a negative number when the text is not valid Base64.
// Writes at most (len * 3) / 4 bytes, so a buffer of (len * 3) / 4 + 3 bytes,
// as the callers size it, is never overrun. Line breaks and blanks between the
// groups are skipped, as decoders of mail text do.
VXUTIL_API int DecodeBase64(unsigned char* out, const char16_t* text, int len);

// Converts len bytes (-1: up to the NUL) of text in codePage to UTF-16.
// Malformed input becomes U+FFFD; the result is still true. False: a null
// text with a length, or no memory for the result.
VXUTIL_API bool strAnsiToWide(std::u16string& out, const char* text, int len, unsigned codePage,
                              bool flag);
// Converts len code units (-1: up to the NUL) of UTF-16 to codePage. Unpaired
// surrogates become U+FFFD in UTF-8 and "?" in the ANSI code page, as do
// characters the ANSI code page lacks. False as strAnsiToWide.
VXUTIL_API bool strWideToAnsi(std::string& out, const char16_t* text, int len, unsigned codePage,
                              bool flag);

// Removes leading (left) and trailing (right) characters that are in set.
VXUTIL_API void trim(std::u16string& s, const char16_t* set, bool left, bool right);
// Lower-cases the string in place (Latin, Greek and Cyrillic letters).
VXUTIL_API void to_lower(std::u16string& s);

// The host's debug-output level: VX_DEBUG_LEVEL as a decimal number, 0 when unset.
VXUTIL_API int dbgout_on();
