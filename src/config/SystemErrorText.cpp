#include "config/SystemErrorText.h"

#include "platform/SystemMessage.h"

std::u16string SystemErrorText(DWORD dwError) {
    std::u16string text;
    if (!platform::FormatSystemMessage(dwError, text) || text.empty()) {
        std::u16string digits;
        DWORD v = dwError;
        do {
            digits.insert(digits.begin(), static_cast<char16_t>(u'0' + v % 10));
            v /= 10;
        } while (v != 0);
        return digits;
    }
    // Drop the line break and the character before it (normally the full stop).
    size_t last = text.find_last_not_of(u"\r\n");
    if (last == std::u16string::npos)
        text.clear();
    else
        text.erase(last);
    return text;
}
