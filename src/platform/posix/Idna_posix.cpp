// IDNA through GNU libidn2: UTS #46 nontransitional processing, then
// IDNA2008's rules for each label.
#include <idn2.h>

#include <cstdlib>

#include "platform/Idna.h"
#include "platform/Utf.h"

namespace platform {

bool DomainToAscii(const std::u16string& sDomain, std::u16string& sAscii) {
    // libidn2's STD3 flag drops the characters it forbids instead of refusing
    // them ("b\u00fc cher" would become "b\u00fccher"): the host-name check comes after.
    char* pszOut = nullptr;
    const int nResult = idn2_to_ascii_8z(Utf16ToUtf8(sDomain).c_str(), &pszOut,
                                         IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
    if (nResult != IDN2_OK)
        return false;
    sAscii = Utf8ToUtf16(pszOut);
    idn2_free(pszOut);
    return true;
}

}  // namespace platform
