// Conversions between UTF-16 and the two code pages survive any input, and
// UTF-8 text that came from UTF-16 converts back unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "vxutil.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* narrow = reinterpret_cast<const char*>(data);
    std::u16string wide;
    strAnsiToWide(wide, size ? narrow : "", static_cast<int>(size), CP_UTF8, false);
    std::string utf8;
    strWideToAnsi(utf8, wide.c_str(), static_cast<int>(wide.size()), CP_UTF8, false);
    std::u16string again;
    strAnsiToWide(again, utf8.c_str(), static_cast<int>(utf8.size()), CP_UTF8, false);
    if (again != wide) std::abort();
    std::u16string ansi;
    strAnsiToWide(ansi, size ? narrow : "", static_cast<int>(size), CP_ACP, false);
    std::string cp;
    strWideToAnsi(cp, ansi.c_str(), static_cast<int>(ansi.size()), CP_ACP, false);
    if (cp.size() != size) std::abort();
    // Raw bytes taken as UTF-16 code units, unpaired surrogates included.
    std::u16string units(size / 2, u'\0');
    for (size_t i = 0; i + 1 < size; i += 2) units[i / 2] = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    strWideToAnsi(utf8, units.c_str(), static_cast<int>(units.size()), CP_UTF8, false);
    strWideToAnsi(cp, units.c_str(), static_cast<int>(units.size()), CP_ACP, false);
    return 0;
}
