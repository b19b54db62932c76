#include "platform/Idna.h"

#include <algorithm>

namespace platform {

namespace {

bool IsAscii(std::u16string_view s) {
    return std::all_of(s.begin(), s.end(), [](char16_t c) { return c < 0x80; });
}

bool IsLetterOrDigit(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9');
}

}  // namespace

bool IsHostName(std::u16string_view sName) {
    if (sName.empty() || sName.size() > 253)
        return false;
    std::size_t nStart = 0;
    while (nStart <= sName.size()) {
        const std::size_t nEnd = std::min(sName.find(u'.', nStart), sName.size());
        const std::u16string_view label = sName.substr(nStart, nEnd - nStart);
        if (label.empty() || label.size() > 63 || label.front() == u'-' || label.back() == u'-')
            return false;
        if (!std::all_of(label.begin(), label.end(),
                         [](char16_t c) { return IsLetterOrDigit(c) || c == u'-'; }))
            return false;
        nStart = nEnd + 1;
    }
    return true;
}

bool AddressToAscii(std::u16string_view sAddress, std::u16string& sAscii) {
    const std::size_t nAt = sAddress.rfind(u'@');
    const std::u16string_view domain =
        nAt == std::u16string_view::npos ? std::u16string_view() : sAddress.substr(nAt + 1);
    if (IsAscii(domain)) {
        sAscii.assign(sAddress);
        return true;
    }
    // A blank or control character would be lost on the way through the
    // system's conversion.
    if (std::any_of(domain.begin(), domain.end(),
                    [](char16_t c) { return c <= 0x20 || c == 0x7F; }))
        return false;
    std::u16string sDomain;
    if (!DomainToAscii(std::u16string(domain), sDomain) || !IsHostName(sDomain))
        return false;
    sAscii.assign(sAddress.substr(0, nAt + 1));
    sAscii += sDomain;
    return true;
}

}  // namespace platform
